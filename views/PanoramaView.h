#pragma once

#include "PanoramaUnwrapper.h"

#include <opencv2/core.hpp>

#include <cstdio>

// Unwraps camera images and trails with the start-up lens geometry. The table
// is built for the first image and again when the image size changes.
class PanoramaView {
public:
    explicit PanoramaView(FILE* err) : err_(err) {}
    // The panorama, or an empty image when this image size cannot hold the
    // ring (said once per such size on err).
    cv::Mat unwrap(const cv::Mat& image);

private:
    FILE* err_;
    PanoramaUnwrapper unwrapper_;
    cv::Size builtFor_;
    bool usable_ = false;
};
