#include "trail/PanoramaView.h"

#include "cvio.h"

#include <opencv2/imgproc.hpp>

#include <memory>

cv::Mat PanoramaView::unwrap(const cv::Mat& image) {
    if (image.empty()) return {};
    if (image.size() != builtFor_) {
        builtFor_ = image.size();
        usable_ = useStartupGeometry(unwrapper_, image.cols, image.rows);
        if (!usable_) {
            std::fprintf(err_, "camera image %dx%d is too small for the panorama ring: no panorama\n",
                         image.cols, image.rows);
            std::fflush(err_);
        }
    }
    if (!usable_) return {};
    cv::Mat colour;
    if (image.type() == CV_8UC3)
        colour = image.isContinuous() ? image : image.clone();
    else if (image.type() == CV_8UC1)
        cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
    else if (image.type() == CV_8UC4)
        cv::cvtColor(image, colour, cv::COLOR_BGRA2BGR);
    else
        return {};
    cv::Mat* out = nullptr;
    if (!unwrapper_.unwrap(&colour, &out)) return {};
    const std::unique_ptr<cv::Mat> owned(out);
    return *owned;
}
