#pragma once

#include <opencv2/core.hpp>

// Merges frame into trail, as the per-pixel maximum, and writes `seconds`
// into the time map (one float per pixel) wherever the frame raised any
// channel of the trail: in the same pass, without a difference image.
// trail and frame are 8-bit of one size and type; times is CV_32FC1.
void mergeRecordingTimes(cv::Mat& trail, cv::Mat& times, const cv::Mat& frame, float seconds);
