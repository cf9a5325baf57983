#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <optional>

// What the sky shows in one image, found by SEP (the astronomers' source
// extractor): its background map and noise, then the objects 5 sigma above
// the background (a 3 x 3 filter) on the image's luminance.
struct SkyMeasurement {
    int stars = 0;  // point sources: not saturated, not at the border, roundish (b/a >= 0.5), 3 to 200 pixels
    int streaks = 0;             // elongated ones (b/a < 0.5): meteors, planes, satellites
    double background = 0;       // the median of the background map, in the image's levels
    double noise = 0;            // the background's global rms
    std::optional<double> fwhm;  // the stars' median, in pixels; none under five stars
};

// Measures an image of 8 or 16 bits, 1, 3 or 4 channels; says why not when
// SEP could not (an image beyond its limits).
Result<SkyMeasurement> measureSky(const cv::Mat& image);
