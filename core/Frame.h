#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

// One image of a source and the time it was taken, in milliseconds: the wall
// clock for a camera, the recording's own time for a replay, sky time for
// the demo. Everything downstream takes its time from here.
struct Frame {
    cv::Mat image;
    int64_t millis = 0;
};
