#pragma once

#include "core/Camera.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <vector>

// A built-in night sky instead of a camera: a few bright points drifting
// across a dark, slightly noisy background, delivered at a steady rate like a
// webcam. The same seed gives the same sky. Its images carry sky time, which
// starts at startMillis and runs `speed` times faster than real time.
class DemoSky : public Camera {
public:
    explicit DemoSky(double imagesPerSecond = 30, double speed = 1, int64_t startMillis = 0,
                     uint64_t seed = 20261207);
    bool isOpened() const override { return true; }
    // Honours requested frame sizes and rates, as a good webcam does.
    void configure(const CameraMode& mode) override;
    CameraMode reported() const override { return {size_, imagesPerSecond_}; }
    void read(Frame& frame) override;

    // The next image, without waiting for its time.
    cv::Mat render();

private:
    struct Star {
        cv::Point2d position;
        cv::Point2d velocity;  // pixels per image
        double brightness;
        int radius;
    };
    void placeStars();

    cv::Size size_{640, 480};
    double imagesPerSecond_;
    double speed_;
    int64_t startMillis_;
    int64_t rendered_ = 0;
    cv::RNG random_;
    std::vector<Star> stars_;
    std::chrono::steady_clock::time_point due_{};
};
