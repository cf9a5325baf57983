#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

// How much the trail grew since the previous info tick: the sum over all
// pixels of the first channel of trail - previous, each difference stopping at
// 0, truncated to 32 bits by saturation. Afterwards previous holds a copy of
// trail. One pass over both images, no difference image. A 16-bit trail's
// growth is counted in 8-bit steps: its sum shifted right by 8.
int32_t firstChannelGrowth(const cv::Mat& trail, cv::Mat& previous);

// The same, and then merges frame (of the trail's size and type) into the
// trail, all in the same single pass.
int32_t firstChannelGrowthAndMerge(cv::Mat& trail, cv::Mat& previous, const cv::Mat& frame);
