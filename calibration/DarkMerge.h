#pragma once

#include "calibration/HotPixels.h"

#include <opencv2/core.hpp>

// The camera's image with the dark taken off (saturating at 0; no dark: as
// it is) into `out`, and, given a trail, merged into it (the per-pixel
// maximum) in the same pass: one read of each image instead of a pass to
// calibrate and another to merge. `out` is made the image's size and type;
// the dark and the trail must be of that size and type.
void subtractDarkAndMerge(const cv::Mat& image, const cv::Mat& dark, cv::Mat& out, cv::Mat* trail);

// The same with the hot pixels of `map` (may be null) filled in `out`, the
// trail taking their filled values: a band of rows at a time, so that what
// the filling reads is still in the processor's caches.
void calibrateAndMerge(const cv::Mat& image, const cv::Mat& dark, cv::Mat& out, cv::Mat* trail,
                       const HotPixelMap* map);
