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

// Hands out queued images first (an empty one reads as empty), then scene
// images until its budget runs out, then empty ones. Reopened, it delivers
// budgetAfterReopen more.
struct SyntheticCamera : Camera {
    bool opened = true;
    std::function<cv::Mat(int)> scene = [](int index) { return movingDotImage(index); };
    int budget = 1 << 30, budgetAfterReopen = 0, reads = 0, reopens = 0;
    std::deque<cv::Mat> queued;
    std::map<int, double> requested;  // and reported back, as a camera that obeys

    bool isOpened() const override { return opened; }
    bool set(int property, double value) override { return requested[property] = value, opened; }
    double get(int property) const override { return requested.count(property) ? requested.at(property) : 0; }
    void read(cv::Mat& image) override;
    void release() override { opened = false; }
    bool reopen() override {
        return ++reopens, budget = budgetAfterReopen, budgetAfterReopen = 0, opened = true;
    }
};

// A processor or wall clock that advances by `step` at each reading.
struct SimulatedClock : ProcessorClock, WallClock {
    int64_t value = 0, step = 0;
    std::clock_t now() override { return (value += step) - step; }
    int64_t millis() override { return (value += step) - step; }
};

// Records the windows shown and answers key polls from a script, then -1.
struct ScriptedDisplay : Display {
    std::deque<int> keys;
    std::vector<std::string> shown;
    int polls = 0;
    void show(const std::string& window, const cv::Mat&) override { shown.push_back(window); }
    int pollKey(int) override;
};

// Keeps snapshots in memory; can be told to fail or to report little space.
struct MemoryWriter : SnapshotWriter {
    std::vector<std::pair<std::string, cv::Mat>> written;
    std::string failure;
    int64_t free = -1;
    std::string write(const std::string& path, const cv::Mat& image) override {
        return written.emplace_back(path, image.clone()), failure;
    }
    int64_t freeBytes(const std::string&) override { return free; }
};

// A FILE* whose text can be read back.
struct CapturedStream {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~CapturedStream();
    std::string text();
    std::vector<std::string> lines();
};

// Runs a test inside a fresh empty working directory, removed afterwards.
struct TempWorkingDir {
    std::string previous, path;
    TempWorkingDir();
    ~TempWorkingDir();
};

// Names of the entries of a directory, sorted; empty when it does not exist.
std::vector<std::string> listDirectory(const std::string& path);
