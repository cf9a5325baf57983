#include "views/PanoramaView.h"

#include "core/EightBits.h"
#include "cvio.h"

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
    // The table reads a continuous 8-bit colour image.
    cv::Mat colour = eightBitColour(image);
    if (colour.type() != CV_8UC3) return {};
    if (!colour.isContinuous()) colour = colour.clone();
    cv::Mat* out = nullptr;
    if (!unwrapper_.unwrap(&colour, &out)) return {};
    const std::unique_ptr<cv::Mat> owned(out);
    return *owned;
}
