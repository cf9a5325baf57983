#pragma once

#include "core/Display.h"
#include "core/SayOnce.h"

#include <cstdio>

// Real windows through OpenCV's highgui. Without a display it says so once on
// err and goes on without windows; the key poll then only waits, so that a
// camera loop does not spin. Headless, it never opens a window and says
// nothing; a replay, which must not wait, can turn the wait off.
class HighGuiDisplay : public Display {
public:
    explicit HighGuiDisplay(FILE* err, bool headless = false, bool waitWithoutWindows = true)
        : said_(err),
          windows_(headless ? Windows::unavailable : Windows::unknown),
          waitWithoutWindows_(waitWithoutWindows) {}
    void show(const std::string& window, const cv::Mat& image) override;
    void place(const std::string& window, cv::Point topLeft) override;
    int pollKey(int delayMs) override;

private:
    enum class Windows { unknown, available, unavailable };
    SayOnce said_;
    Windows windows_;
    bool waitWithoutWindows_;
};
