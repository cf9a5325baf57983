#pragma once

#include "trail/Devices.h"

#include <opencv2/core.hpp>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A black scene with a bright 3 x 3 dot that moves one step per image.
cv::Mat movingDotImage(int index, cv::Size size = {64, 48});

// A camera that hands out queued images first, then scene images until its
// budget runs out, then empty images. It can be reopened after it ran dry.
class SyntheticCamera : public Camera {
public:
    bool opened = true;
    std::function<cv::Mat(int)> scene = [](int index) { return movingDotImage(index); };
    int budget = 1 << 30;        // scene images still to deliver
    std::deque<cv::Mat> queued;  // delivered before the scene; an empty one reads as empty
    int reads = 0;
    int reopens = 0;
    int budgetAfterReopen = 0;        // scene images a reopened camera delivers
    std::map<int, double> requested;  // last value set per property

    bool isOpened() const override { return opened; }
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& image) override;
    void release() override { opened = false; }
    bool reopen() override;
};

// A clock, processor or wall, that advances by a fixed step each time it is read.
class SimulatedClock : public ProcessorClock, public WallClock {
public:
    int64_t value = 0;
    int64_t step = 0;
    std::clock_t now() override { return read(); }
    int64_t millis() override { return read(); }

private:
    int64_t read() {
        const int64_t reading = value;
        value += step;
        return reading;
    }
};

// Records what is shown and answers key polls from a script (-1 when it runs out).
class ScriptedDisplay : public Display {
public:
    std::deque<int> keys;
    std::vector<std::string> shown;
    int polls = 0;
    void show(const std::string& window, const cv::Mat&) override { shown.push_back(window); }
    int pollKey(int) override {
        ++polls;
        if (keys.empty()) return -1;
        const int key = keys.front();
        keys.pop_front();
        return key;
    }
};

// Keeps snapshots in memory; can be told to fail or to report little space.
class MemoryWriter : public SnapshotWriter {
public:
    std::vector<std::pair<std::string, cv::Mat>> written;
    std::string failure;
    int64_t free = -1;
    std::string write(const std::string& path, const cv::Mat& image) override {
        written.emplace_back(path, image.clone());
        return failure;
    }
    int64_t freeBytes(const std::string&) override { return free; }
};

// A FILE* whose text can be read back.
class CapturedStream {
public:
    CapturedStream() : stream_(open_memstream(&data_, &size_)) {}
    ~CapturedStream() {
        std::fclose(stream_);
        std::free(data_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    FILE* file() { return stream_; }
    std::string text() {
        std::fflush(stream_);
        return std::string(data_, size_);
    }
    std::vector<std::string> lines();

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

// Runs a test inside a fresh empty working directory, removed afterwards.
class TempWorkingDir {
public:
    TempWorkingDir();
    ~TempWorkingDir();
    TempWorkingDir(const TempWorkingDir&) = delete;
    TempWorkingDir& operator=(const TempWorkingDir&) = delete;

private:
    std::string previous_;
    std::string path_;
};

// Names of the entries of a directory, sorted; empty when it does not exist.
std::vector<std::string> listDirectory(const std::string& path);
