#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <ctime>
#include <string>

// The seams between the tool's decisions and the hardware. The shipped binary
// plugs in thin adapters over OpenCV and the POSIX clocks; tests plug in
// synthetic images, simulated clocks and scripted keys.

// The part of cv::VideoCapture the tool uses.
class Camera {
public:
    virtual ~Camera() = default;
    virtual bool isOpened() const = 0;
    virtual bool set(int property, double value) = 0;
    virtual double get(int property) const = 0;
    // Leaves image empty when nothing could be read.
    virtual void read(cv::Mat& image) = 0;
};

// Processor time of the process, in clock() ticks.
class ProcessorClock {
public:
    static constexpr double kTicksPerSecond = 1000000.0;
    virtual ~ProcessorClock() = default;
    virtual std::clock_t now() = 0;
};

// Wall-clock milliseconds.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual int64_t millis() = 0;
};

// Named windows and the key poll that services them.
class Display {
public:
    virtual ~Display() = default;
    virtual void show(const std::string& window, const cv::Mat& image) = 0;
    // Waits up to delayMs for a key; returns the full key code, or -1.
    virtual int pollKey(int delayMs) = 0;
};

// Stores a snapshot image under a relative file name such as "img/1.jpg".
class SnapshotWriter {
public:
    virtual ~SnapshotWriter() = default;
    virtual bool write(const std::string& path, const cv::Mat& image) = 0;
};
