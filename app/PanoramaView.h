#pragma once

#include "core/SayOnce.h"
#include "core/Shelves.h"
#include "cvio.h"

#include <opencv2/core.hpp>

#include <cstdio>

// Unwraps camera images and trails with the start-up lens geometry, through
// the start-up unwrapper itself: its table is built again only when the
// image size changes.
class PanoramaView : public Panorama {
public:
    PanoramaView(StartupPanorama& startup, FILE* err) : startup_(startup), said_(err) {}
    // The panorama, or an empty image when this image size cannot hold the
    // ring (said once per such size on err).
    cv::Mat unwrap(const cv::Mat& image) override;
    cv::Rect ringSquare(cv::Size size) const override { return startupRingSquare(size); }

private:
    StartupPanorama& startup_;
    SayOnce said_;
};
