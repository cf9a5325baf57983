#pragma once

#include <opencv2/core.hpp>

#include <string>

// Named windows and the key poll that services them.
class Display {
public:
    virtual ~Display() = default;
    virtual void show(const std::string& window, const cv::Mat& image) = 0;
    // Puts a window's top-left corner at a place on the desktop.
    virtual void place(const std::string& window, cv::Point topLeft) = 0;
    // Waits up to delayMs for a key; returns the full key code, or -1.
    virtual int pollKey(int delayMs) = 0;
};
