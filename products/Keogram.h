#pragma once

#include "core/FilesInUse.h"
#include "core/SayOnce.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One keogram: a column per moment, a night (local noon to local noon) per
// file, "PREFIX-YYYY-MM-DD.png" with hour labels in a strip below the
// columns and their UTC times in "PREFIX-YYYY-MM-DD.json". The file is
// rewritten whole, atomically, the PNG before the JSON, at least once a
// minute of image time, on a thread of its own. A run that starts in the
// middle of a night takes up that night's file when it has this camera's
// height and its columns are older than the run's (its JSON may lag its PNG
// after a crash: the shorter decides); else the night goes on beside it in
// "-2", "-3", ... Columns only ever go after the last one. A column costs
// the same at the end of a night as at its start.
class KeogramStrip : public LatestFile {
public:
    KeogramStrip(std::string folder, std::string prefix, FILE* err, FilesInUse* inUse = nullptr);
    ~KeogramStrip();
    KeogramStrip(const KeogramStrip&) = delete;
    KeogramStrip& operator=(const KeogramStrip&) = delete;

    // A column (8-bit colour, one pixel wide) made at `millis`.
    void add(const cv::Mat& column, int64_t millis);
    // Writes the night's file now, on this thread.
    void finish();
    // The latest written file's name and PNG bytes; from any thread.
    std::pair<std::string, std::string> latest() const override;

private:
    struct Written {
        std::string base;             // the path without ".png" or ".json"
        std::vector<cv::Mat> blocks;  // the columns, a row each
        std::vector<int64_t> times;
    };
    void open(const std::string& night, int rows);
    void goOnBeside(const std::string& why);
    void use(const std::string& base);
    void write(Written& keogram);

    std::string folder_;
    std::string prefix_;
    FILE* err_;
    FilesInUse* inUse_;
    SayOnce said_;
    std::string night_;
    std::string base_;
    // The columns so far, each stored as a row, in blocks that are never
    // moved: the rows written never change, so the writer shares them.
    std::vector<cv::Mat> blocks_;
    int height_ = 0;
    int type_ = CV_8UC3;  // 16-bit colour from a 16-bit trail's camera
    std::vector<int64_t> times_;
    bool takenUp_ = false;  // the columns so far are an earlier run's
    int64_t savedAt_ = 0;
    std::mutex writing_;  // one write at a time, and never an older one after a newer
    std::string writtenBase_;
    size_t writtenColumns_ = 0;
    mutable std::mutex latestMutex_;
    std::pair<std::string, std::string> latest_;
    Worker<Written> writer_;  // last: its thread uses the members above
};

// The keogram of a run: each column the per-pixel maximum of the camera
// image's centre column over every image since the previous column, so that
// a short event between two columns still shows. With a panorama view, a
// second keogram whose column holds, for each row of the unwrapped panorama,
// the maximum over all directions (of the images' maximum since the
// previous column, over the ring's square only).
class Keogram : public TrailListener {
public:
    Keogram(std::string folder, double everySeconds, Panorama* panorama, FILE* err,
            FilesInUse* inUse = nullptr);
    void framed(const Frame& frame) override;
    // The night's keogram is written as it stands, the column in progress in it.
    void dawn(int64_t) override;
    void ended() override;
    const KeogramStrip& strip() const { return strip_; }

private:
    void addColumns(int64_t millis);

    int64_t everyMillis_;
    Panorama* panorama_;
    KeogramStrip strip_;
    std::unique_ptr<KeogramStrip> panoramaStrip_;  // with a panorama only: its own thread
    bool intervalStarted_ = false;
    std::optional<int64_t> nextColumn_;  // when the column in progress ends
    cv::Mat column_;                     // the centre column's maximum since the previous column
    cv::Mat ring_;  // with a panorama: the images' maximum since then, over the ring's square
    cv::Rect ringSquare_;
    cv::Size size_;
};
