#pragma once

#include <opencv2/core.hpp>

// The time map coloured for people: each pixel's time along a perceptual
// colour map (viridis, from the trail's start to its end), as bright as the
// trail there; black where no image after the first raised it.
cv::Mat colouredTimes(const cv::Mat& times, const cv::Mat& trail, float spanSeconds);

// The colour map's scale, from the start (left) to the end (right).
cv::Mat timeScale(cv::Size size);
