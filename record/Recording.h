#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <string>

// One recording: a Motion-JPEG video declared at 10 images per second, opened
// at the size of its first image, and the log of the measured intervals. The
// video is written under a hidden name beside its own until the first image
// is in, so a recording that fails before that leaves an older video in
// place; and it ends, keeping what it holds, before the disk is full.
class Recording {
public:
    Recording(std::string videoPath, std::string logPath);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Appends an 8-bit colour image; the failure is the line that says why
    // the recording ends.
    Result<> add(const cv::Mat& image);
    // Logs the interval that belongs to the image added last.
    void addInterval(double seconds);
    bool empty() const { return times.rows == 0; }
    // Closes the video and writes the interval log when anything was
    // recorded; the failure is the line that says what went wrong.
    Result<> finish();

private:
    std::string videoPath_;
    std::string logPath_;
    std::string hiddenPath_;
    cv::VideoWriter outVideo;
    cv::Size sz;
    cv::Mat times = cv::Mat(0, 1, CV_64F);
    int64_t largestImageBytes_ = 0;
    bool finished_ = false;
};
