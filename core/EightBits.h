#pragma once

#include "core/Stretch.h"

#include <opencv2/core.hpp>

#include <string>

// Brings an image of any depth to 8 bits per channel, mapping the full range
// of its type onto 0..255 (a 16-bit value is divided by 257; floating point
// is taken as 0..1). False when the image already was 8-bit.
bool convertToEightBits(cv::Mat& image);

// The image as 8-bit three-channel colour: depth as above, grey and
// four-channel images to blue-green-red. The image itself when it already is.
cv::Mat eightBitColour(const cv::Mat& image);

// The image as 8-bit colour for a picture: a 16-bit one stretched as asked
// (--stretch), an 8-bit one as eightBitColour gives it.
cv::Mat shown(const cv::Mat& image, Stretch stretch);

// "3 channels of 16 bits", for messages.
std::string describeImageType(int type);
// "640x480 of 3 channels of 8 bits", for messages.
std::string describeImage(cv::Size size, int type);
