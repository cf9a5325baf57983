#include "app/PanoramaView.h"

#include "core/EightBits.h"

#include <memory>
#include <string>

cv::Mat PanoramaView::unwrap(const cv::Mat& image) {
    if (image.empty()) return {};
    if (image.size() != capture_.unwrapperBuiltFor) {
        capture_.unwrapperBuiltFor = image.size();
        capture_.unwrapperReady = useStartupGeometry(capture_.unwrapper, image.cols, image.rows);
    }
    if (!capture_.unwrapperReady) {
        said_.say("camera image " + std::to_string(image.cols) + "x" + std::to_string(image.rows) +
                  " is too small for the panorama ring: no panorama");
        return {};
    }
    // The table reads a continuous 8-bit colour image.
    cv::Mat colour = eightBitColour(image);
    if (colour.type() != CV_8UC3) return {};
    if (!colour.isContinuous()) colour = colour.clone();
    cv::Mat* out = nullptr;
    if (!capture_.unwrapper.unwrap(&colour, &out)) return {};
    const std::unique_ptr<cv::Mat> owned(out);
    return *owned;
}
