#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>

// The size a PNG, TIFF or JPEG file declares in its header, read without
// decoding the image; none for another format or a header that cannot be read.
std::optional<cv::Size> declaredImageSize(const std::string& path);

// An image file read whole (cv::imread's flags) when it is a regular file
// whose header declares no more than `largest` in either direction: a small
// file may declare a huge image (a 2.6 MB PNG of 30000x30000 decodes into
// gigabytes), so the header is read first. Refused in words that follow the
// file's name ("is 30000x30000", "cannot be read").
Result<cv::Mat> readImageNoLarger(const std::string& path, cv::Size largest, int flags);
