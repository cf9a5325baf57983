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

DemoSky::DemoSky(double imagesPerSecond, double speed, uint64_t seed)
    : imagesPerSecond_(imagesPerSecond), speed_(speed), random_(seed) {
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

bool DemoSky::set(int property, double value) {
    if (property == cv::CAP_PROP_FRAME_WIDTH && value >= 16 && value <= 8192) {
        size_.width = static_cast<int>(value);
        placeStars();
        return true;
    }
    if (property == cv::CAP_PROP_FRAME_HEIGHT && value >= 16 && value <= 8192) {
        size_.height = static_cast<int>(value);
        placeStars();
        return true;
    }
    if (property == cv::CAP_PROP_FPS && value > 0 && value <= 1000) {
        imagesPerSecond_ = value;
        return true;
    }
    return false;
}

double DemoSky::get(int property) const {
    if (property == cv::CAP_PROP_FRAME_WIDTH) return size_.width;
    if (property == cv::CAP_PROP_FRAME_HEIGHT) return size_.height;
    if (property == cv::CAP_PROP_FPS) return imagesPerSecond_;
    return 0;
}

int64_t DemoSky::millis() {
    return static_cast<int64_t>(static_cast<double>(rendered_ - 1) * 1000.0 / imagesPerSecond_);
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

void DemoSky::read(cv::Mat& image) {
    const auto now = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / imagesPerSecond_ / speed_));
    // Keep a steady rate, but never try to catch up on a backlog.
    if (due_ < now - period) due_ = now;
    std::this_thread::sleep_until(due_);
    due_ += period;
    image = render();
}
