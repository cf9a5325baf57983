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
    // Lets go of the device, so that it can be unplugged and plugged again.
    virtual void release() {}
    // Opens the device again; false when that is not possible or did not work.
    virtual bool reopen() { return false; }
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

// Stores snapshot images in a folder, each file appearing whole or not at all.
class SnapshotWriter {
public:
    virtual ~SnapshotWriter() = default;
    // Writes image under a relative name such as "img/1.jpg"; on failure
    // returns the reason, on success an empty string.
    virtual std::string write(const std::string& path, const cv::Mat& image) = 0;
    // Whether anything (a snapshot or not) is there under that name.
    virtual bool exists(const std::string& path) = 0;
    // Bytes free to an unprivileged writer on the file system that holds (or
    // will hold) the folder; -1 when unknown.
    virtual int64_t freeBytes(const std::string& folder) = 0;
};

// What an info tick measured, under the names of the status line.
struct TickStatus {
    int32_t freq = 0;
    int32_t frameCounter = 0;
    int32_t diff = 0;
    int32_t trackCounter = 0;
    bool save = false;
    int32_t saveTimeout = 0;
};

// Receives each info tick's status and images, for views outside the windows.
// Called on the loop's thread: it must hand the data over and return quickly.
class TickObserver {
public:
    virtual ~TickObserver() = default;
    virtual void onTick(const TickStatus& status, const cv::Mat& frame, const cv::Mat& trail) = 0;
};
