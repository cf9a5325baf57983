#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <string>

// How a 16-bit image becomes an 8-bit picture: linearly from its 0.1th to its
// 99.9th percentile, the same range on an asinh curve (faint stars lifted),
// or its full range as it is (none).
enum class Stretch { linear, asinh, none };

// The image as 8 bits per channel, stretched so; an 8-bit image as it is.
cv::Mat stretchToEightBits(const cv::Mat& image, Stretch stretch);

// A stretch by its name on the command line (linear, asinh or none).
std::optional<Stretch> stretchNamed(const std::string& name);
