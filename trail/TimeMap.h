#pragma once

#include "core/StampedPixels.h"

#include <opencv2/core.hpp>

// Merges frame into trail, as the per-pixel maximum, and writes `seconds`
// into the time map (one float per pixel) wherever the frame raised any
// channel of the trail by more than minRise levels (by any amount at 0): in
// the same pass, without a difference image. trail and frame are 8- or
// 16-bit of one size and type; times is CV_32FC1. (A time map of the big
// rises only, for meteors, is seldom written to, and costs the merge little.)
void mergeRecordingTimes(cv::Mat& trail, cv::Mat& times, const cv::Mat& frame, float seconds,
                         int minRise = 0);

// The same, telling `stamped` which pixels it wrote a time to.
void mergeRecordingTimes(cv::Mat& trail, cv::Mat& times, const cv::Mat& frame, float seconds, int minRise,
                         StampedPixels* stamped);
