#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// One image of a source and the time it was taken, in milliseconds: the wall
// clock for a camera, the recording's own time for a replay, sky time for
// the demo. Everything downstream takes its time from here.
struct Frame {
    Frame() = default;
    Frame(cv::Mat taken, int64_t at, std::shared_ptr<const std::vector<uchar>> sent = nullptr)
        : image(std::move(taken)), millis(at), jpeg(std::move(sent)) {}

    cv::Mat image;
    int64_t millis = 0;
    // When the source sent the image as a JPEG: its bytes, for whoever keeps
    // images as JPEGs (clips, the timelapse, the web view), so that nothing
    // encodes it again. Null otherwise, and once the camera's own image has
    // been changed.
    std::shared_ptr<const std::vector<uchar>> jpeg = nullptr;
    // The camera's own image, when a stage (calibration) changed `image`:
    // what clips and the frame timelapse keep. Empty otherwise.
    cv::Mat own;
    // A repair of the trail so far, handed over once by a stage that has
    // just learned it (hot pixels found): the loop applies it to its trail.
    std::function<void(cv::Mat&)> mendTrail;
    // Work a stage left for the merge (a dark to take off): it makes `image`
    // final and, given the trail, merges the image into it in the same pass,
    // which costs less than a pass of its own. Whoever takes the frame first
    // calls it once, before anything reads the image; empty when the image
    // is final as it comes.
    std::function<void(cv::Mat* trail)> finish;

    // Makes the image final now, merging it nowhere.
    void finishNow() {
        if (finish) std::exchange(finish, nullptr)(nullptr);
    }

    const cv::Mat& cameraImage() const { return own.empty() ? image : own; }
};
