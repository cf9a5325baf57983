#include "app/PanoramaView.h"

#include "core/EightBits.h"

#include <memory>
#include <string>

cv::Mat PanoramaView::unwrap(const cv::Mat& image) {
    if (image.empty()) return {};
    if (image.size() != startup_.unwrapperBuiltFor) {
        startup_.unwrapperBuiltFor = image.size();
        startup_.unwrapperReady = useStartupGeometry(startup_.unwrapper, image.cols, image.rows);
    }
    if (!startup_.unwrapperReady) {
        said_.say("camera image " + std::to_string(image.cols) + "x" + std::to_string(image.rows) +
                  " is too small for the panorama ring: no panorama");
        return {};
    }
    // The table reads a continuous 8-bit colour image.
    cv::Mat colour = eightBitColour(image);
    if (colour.type() != CV_8UC3) return {};
    if (!colour.isContinuous()) colour = colour.clone();
    cv::Mat* out = nullptr;
    if (!startup_.unwrapper.unwrap(&colour, &out)) return {};
    const std::unique_ptr<cv::Mat> owned(out);
    return *owned;
}
