#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

// One image of a source and the time it was taken, in milliseconds: the wall
// clock for a camera, the recording's own time for a replay, sky time for
// the demo. Everything downstream takes its time from here.
struct Frame {
    cv::Mat image;
    int64_t millis = 0;
    // When the source sent the image as a JPEG: its bytes, for whoever keeps
    // images as JPEGs (clips, the timelapse, the web view), so that nothing
    // encodes it again. Null otherwise, and once the image has been changed.
    std::shared_ptr<const std::vector<uchar>> jpeg = nullptr;
};
