#pragma once

#include "trail/Devices.h"

#include <opencv2/videoio.hpp>

#include <cstdint>
#include <cstdio>

// Wall-clock milliseconds from the time-of-day clock.
int64_t millis();

class VideoCaptureCamera : public Camera {
public:
    explicit VideoCaptureCamera(cv::VideoCapture& capture) : capture_(capture) {}
    bool isOpened() const override;
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& image) override;

private:
    cv::VideoCapture& capture_;
};

class SystemProcessorClock : public ProcessorClock {
public:
    std::clock_t now() override;
};

class SystemWallClock : public WallClock {
public:
    int64_t millis() override;
};

// Real windows through OpenCV's highgui. Without a display it says so once on
// err and goes on without windows; the key poll then only waits.
class HighGuiDisplay : public Display {
public:
    explicit HighGuiDisplay(FILE* err) : err_(err) {}
    void show(const std::string& window, const cv::Mat& image) override;
    int pollKey(int delayMs) override;

private:
    enum class Windows { unknown, available, unavailable };
    FILE* err_;
    Windows windows_ = Windows::unknown;
};

// Writes an image file by its extension, creating its directory first.
class ImageFileWriter : public SnapshotWriter {
public:
    bool write(const std::string& path, const cv::Mat& image) override;
};
