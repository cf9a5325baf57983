#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>

// An image as an INDI camera sends it: a FITS file in memory (or a
// tile-compressed one, .fits.fz), read with cfitsio without a temporary file.
// 8- and 16-bit mono come as CV_8UC1 / CV_16UC1, a Bayer mosaic (BAYERPAT)
// debayered to BGR, three planes (NAXIS3 = 3, red, green, blue) as BGR; rows
// in the order the file stores them. Deeper or floating-point images are
// brought to 16 bits over their own range; signed bytes shifted onto 0..255.
// An image of more than maxPixels (over its planes) is refused before it is read.
constexpr int64_t kMostFitsPixels = 100000000;
Result<cv::Mat> decodeFits(const void* bytes, size_t size, int64_t maxPixels = kMostFitsPixels);
