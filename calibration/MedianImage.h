#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <string>

// The per-pixel median of a run of images of one size and type, in bounded
// memory: each image goes to an unnamed temporary file in a folder as it
// comes, and the median is taken a band of rows at a time, holding that
// band of every image (at most `memoryBytes`) and never the images whole.
// For an even count it is the mean of the two middle values, rounded.
class MedianImage {
public:
    explicit MedianImage(std::string folder, size_t memoryBytes = size_t{64} << 20)
        : folder_(std::move(folder)), memoryBytes_(memoryBytes) {}
    ~MedianImage();
    MedianImage(const MedianImage&) = delete;
    MedianImage& operator=(const MedianImage&) = delete;

    // Refuses an image of another size or type than the first.
    Result<> add(const cv::Mat& image);
    Result<cv::Mat> median() const;
    int count() const { return count_; }

private:
    template <typename T>
    Result<> medianOf(cv::Mat& out) const;

    std::string folder_;
    size_t memoryBytes_;
    int fd_ = -1;
    int count_ = 0;
    cv::Size size_;
    int type_ = 0;
};
