#pragma once

#include "core/Devices.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <vector>

// A built-in night sky instead of a camera: a few bright points drifting
// across a dark, slightly noisy background, delivered at a steady rate like a
// webcam. The same seed gives the same sky. It is also the clock of its own
// time, for runs faster than real time.
class DemoSky : public Camera, public WallClock {
public:
    // speed above 1 delivers the sky faster than real time; its own clock
    // (millis) then keeps the sky's time.
    explicit DemoSky(double imagesPerSecond = 30, double speed = 1, uint64_t seed = 20261207);
    bool isOpened() const override { return true; }
    // Honours requested frame sizes and rates, as a good webcam does.
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& image) override;

    // The next image, without waiting for its time.
    cv::Mat render();
    // The sky's time of the image delivered last.
    int64_t millis() override;

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
    int64_t rendered_ = 0;
    cv::RNG random_;
    std::vector<Star> stars_;
    std::chrono::steady_clock::time_point due_{};
};
