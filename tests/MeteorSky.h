#pragma once

// A synthetic night with known truth, seeded: stars drifting and twinkling
// over a noisy sky, meteors, blinking planes, satellites, lit clouds and
// flashes. The unit tests, the end-to-end video and the benchmark all use
// it (FindMeteors.h runs the real loop with the meteor finder over it).

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

struct TrueMeteor {
    double start = 0, seconds = 0;  // from the night's start
    cv::Point2d from, to;
    int amplitude = 0;                       // levels above the sky
    int64_t startMillis = 0, endMillis = 0;  // of its first and last images
    double length() const { return cv::norm(to - from); }
};

struct MovingLight {
    double start = 0, seconds = 0;
    cv::Point2d from, velocity;  // pixels a second
    int amplitude = 0;
    double radius = 1;
};

struct MeteorSkySettings {
    cv::Size size{480, 360};
    double fps = 25;
    double seconds = 240;
    int meteors = 16, planes = 3, satellites = 3, clouds = 1;
    std::vector<double> flashes{100};  // seconds from the start
    std::vector<TrueMeteor> placed;    // meteors placed by hand besides (start, seconds, from, to, amplitude)
    std::vector<MovingLight> placedSatellites;  // and satellites (start, seconds, from, velocity, amplitude)
    int stars = 120;
    int sky = 20;
    double noise = 2;
    int minAmplitude = 30, maxAmplitude = 150;
    double minLength = 40, maxLength = 250;
    double minSeconds = 0.2, maxSeconds = 1.5;
    uint64_t seed = 1;
    int64_t startMillis = 1765143000000;  // 2025-12-07T21:30:00Z
};

class MeteorSky {
public:
    explicit MeteorSky(MeteorSkySettings settings) : s_(std::move(settings)) {
        std::mt19937_64 random(s_.seed);
        const auto uniform = [&random](double low, double high) {
            return std::uniform_real_distribution<double>(low, high)(random);
        };
        for (int i = 0; i < 8; ++i) {
            noise_.emplace_back(s_.size, CV_16SC1);
            cv::RNG rng(s_.seed * 8 + static_cast<uint64_t>(i));
            rng.fill(noise_.back(), cv::RNG::NORMAL, 0, s_.noise);
        }
        for (int i = 0; i < s_.stars; ++i)
            stars_.push_back({0,
                              s_.seconds,
                              {uniform(0, s_.size.width), uniform(0, s_.size.height)},
                              {3, 0.4},
                              static_cast<int>(uniform(20, 160)),
                              1});
        // Meteors spread over the night, one at a time, inside the picture.
        const double slot = s_.seconds / std::max(1, s_.meteors);
        for (int i = 0; i < s_.meteors; ++i) {
            TrueMeteor m;
            const double length = uniform(s_.minLength, s_.maxLength);
            m.seconds = uniform(s_.minSeconds, std::max(s_.minSeconds, std::min(s_.maxSeconds, length / 60)));
            m.start = slot * i + uniform(1, slot - m.seconds - 1);
            const double angle = uniform(0, 2 * CV_PI);
            const cv::Point2d direction(std::cos(angle), std::sin(angle));
            const cv::Point2d span = direction * length;
            const double margin = 12;
            m.from = {
                uniform(margin + std::max(0.0, -span.x), s_.size.width - margin - std::max(0.0, span.x)),
                uniform(margin + std::max(0.0, -span.y), s_.size.height - margin - std::max(0.0, span.y))};
            m.to = m.from + span;
            m.amplitude = static_cast<int>(uniform(s_.minAmplitude, s_.maxAmplitude));
            const int first = static_cast<int>(std::floor(m.start * s_.fps)) + 1;
            const int last = static_cast<int>(std::ceil((m.start + m.seconds) * s_.fps));
            m.startMillis = millis(first), m.endMillis = millis(last);
            meteors_.push_back(m);
        }
        for (TrueMeteor m : s_.placed) {
            m.startMillis = millis(static_cast<int>(std::floor(m.start * s_.fps)) + 1);
            m.endMillis = millis(static_cast<int>(std::ceil((m.start + m.seconds) * s_.fps)));
            meteors_.push_back(m);
        }
        // Planes: a steady light and a strobe once a second, slow, for a minute.
        for (int i = 0; i < s_.planes; ++i)
            planes_.push_back(crossing(uniform, uniform(15, 35), 60, 25));
        // Satellites: steady, slow or not so slow, for tens of seconds.
        for (int i = 0; i < s_.satellites; ++i)
            satellites_.push_back(crossing(uniform, i == 0 ? 70 : uniform(10, 35), 30, 50));
        satellites_.insert(satellites_.end(), s_.placedSatellites.begin(), s_.placedSatellites.end());
        for (int i = 0; i < s_.clouds; ++i) {
            MovingLight cloud = crossing(uniform, 12, 20, 25);
            cloud.radius = 50;
            clouds_.push_back(cloud);
        }
    }

    int frames() const { return static_cast<int>(s_.seconds * s_.fps); }
    int64_t millis(int i) const { return s_.startMillis + std::llround(i * 1000.0 / s_.fps); }
    const std::vector<TrueMeteor>& meteors() const { return meteors_; }
    const MeteorSkySettings& settings() const { return s_; }

    // Image i (times i / fps; each covers the period before its time), 8-bit grey.
    cv::Mat frame(int i) const {
        const double t = i / s_.fps, open = t - 1 / s_.fps;
        cv::Mat sky;
        noise_[static_cast<size_t>(i * 5 + i / 8) % noise_.size()].convertTo(sky, CV_8UC1, 1, s_.sky);
        std::mt19937 twinkle(static_cast<uint32_t>(s_.seed * 7919 + static_cast<uint64_t>(i)));
        for (const MovingLight& star : stars_) {
            const double brightness =
                star.amplitude * (0.8 + 0.3 * std::uniform_real_distribution<double>(0, 1)(twinkle));
            cv::circle(sky, star.from + star.velocity * t, 1, cv::Scalar(s_.sky + brightness), -1);
        }
        for (const MovingLight& cloud : clouds_)
            if (t >= cloud.start && t <= cloud.start + cloud.seconds) {
                cv::Mat lit(sky.size(), CV_8UC1, cv::Scalar(0));
                cv::ellipse(lit, cloud.from + cloud.velocity * (t - cloud.start),
                            {static_cast<int>(cloud.radius * 1.6), static_cast<int>(cloud.radius)}, 0, 0, 360,
                            cv::Scalar(cloud.amplitude), -1);
                cv::GaussianBlur(lit, lit, {0, 0}, 12);
                sky += lit;
            }
        for (const MovingLight& plane : planes_)
            if (t >= plane.start && t <= plane.start + plane.seconds) {
                const cv::Point2d at = plane.from + plane.velocity * (t - plane.start);
                cv::circle(sky, at, 1, cv::Scalar(s_.sky + plane.amplitude), -1);
                if (i % static_cast<int>(s_.fps) < 2)
                    cv::circle(sky, at + cv::Point2d(0, 3), 2, cv::Scalar(220), -1);
            }
        for (const MovingLight& satellite : satellites_)
            if (t >= satellite.start && t <= satellite.start + satellite.seconds)
                cv::circle(sky, satellite.from + satellite.velocity * (t - satellite.start), 1,
                           cv::Scalar(s_.sky + satellite.amplitude), -1);
        for (const TrueMeteor& m : meteors_) {
            const double a = std::max(0.0, (open - m.start) / m.seconds),
                         b = std::min(1.0, (t - m.start) / m.seconds);
            if (b <= 0 || a >= 1) continue;
            cv::line(sky, m.from + (m.to - m.from) * a, m.from + (m.to - m.from) * b,
                     cv::Scalar(s_.sky + m.amplitude), 2);
        }
        for (const double flash : s_.flashes)
            if (std::abs(t - flash) < 0.5 / s_.fps) sky += cv::Scalar(120);
        return sky;
    }

private:
    template <typename Uniform>
    MovingLight crossing(Uniform& uniform, double speed, double seconds, int amplitude) {
        const double angle = uniform(0, 2 * CV_PI);
        const cv::Point2d velocity(std::cos(angle) * speed, std::sin(angle) * speed);
        const cv::Point2d centre(s_.size.width / 2.0, s_.size.height / 2.0);
        return {uniform(0, std::max(1.0, s_.seconds - seconds)),
                seconds,
                centre - velocity * (seconds / 2) + cv::Point2d(uniform(-60, 60), uniform(-60, 60)),
                velocity,
                amplitude,
                1};
    }

    MeteorSkySettings s_;
    std::vector<cv::Mat> noise_;
    std::vector<MovingLight> stars_, planes_, satellites_, clouds_;
    std::vector<TrueMeteor> meteors_;
};
