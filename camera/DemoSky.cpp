#include "camera/DemoSky.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <thread>

namespace {
constexpr int kStars = 5;
constexpr int kSkyLevel = 8;
constexpr int kNoiseLevel = 10;
}  // namespace

DemoSky::DemoSky(double imagesPerSecond, double speed, int64_t startMillis, uint64_t seed)
    : imagesPerSecond_(imagesPerSecond), speed_(speed), startMillis_(startMillis), random_(seed) {
    placeStars();
}

void DemoSky::placeStars() {
    stars_.clear();
    for (int i = 0; i < kStars; ++i) {
        const double angle = random_.uniform(0.0, 2 * CV_PI);
        const double speed = random_.uniform(0.5, 2.0);
        stars_.push_back(
            {{random_.uniform(0.0, double(size_.width)), random_.uniform(0.0, double(size_.height))},
             {speed * std::cos(angle), speed * std::sin(angle)},
             random_.uniform(170.0, 255.0),
             random_.uniform(1, 3)});
    }
}

void DemoSky::configure(const CameraMode& mode) {
    if (mode.size.width >= 16 && mode.size.width <= 8192 && mode.size.height >= 16 &&
        mode.size.height <= 8192) {
        size_ = mode.size;
        placeStars();
    }
    if (mode.fps > 0 && mode.fps <= 1000) imagesPerSecond_ = mode.fps;
}

cv::Mat DemoSky::render() {
    ++rendered_;
    cv::Mat image(size_, CV_8UC3);
    random_.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(kSkyLevel),
                 cv::Scalar::all(kSkyLevel + kNoiseLevel));
    for (Star& star : stars_) {
        star.position += star.velocity;
        // Wrap around the edges, so the sky never empties.
        star.position.x = std::fmod(star.position.x + size_.width, double(size_.width));
        star.position.y = std::fmod(star.position.y + size_.height, double(size_.height));
        const double b = star.brightness;
        cv::circle(image, cv::Point(cvRound(star.position.x), cvRound(star.position.y)), star.radius,
                   cv::Scalar(b, b, b * 0.9), cv::FILLED, cv::LINE_AA);
    }
    return image;
}

void DemoSky::read(Frame& frame) {
    const auto now = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / imagesPerSecond_ / speed_));
    // Keep a steady rate, but never try to catch up on a backlog.
    if (due_ < now - period) due_ = now;
    std::this_thread::sleep_until(due_);
    due_ += period;
    frame.image = render();
    frame.millis =
        startMillis_ + static_cast<int64_t>(static_cast<double>(rendered_ - 1) * 1000.0 / imagesPerSecond_);
}
