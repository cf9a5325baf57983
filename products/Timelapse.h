#pragma once

#include "core/FilesInUse.h"
#include "core/SayOnce.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "platform/MjpegVideo.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct TimelapseSettings {
    std::string folder;
    enum class Shows { frame, trail, both } shows = Shows::frame;
    double everySeconds = 10;
    int fps = 30;
    // A replay waits for the encoder instead of leaving images out.
    bool waitForEncoder = false;
    // On disk at least this often, of the clock and of image time.
    std::chrono::milliseconds flushEvery{30000};
};

// The night's timelapse: at a tick every so many seconds of image time, the
// camera image (or the trail, or both side by side) is added to
// "timelapse-YYYY-MM-DD.mkv", Motion-JPEG in Matroska written as a live
// stream. The file takes its final name once it holds its header and first
// image, on disk; after that it is flushed to disk at least every 30 seconds
// (of the clock, whether images come or not, and of image time), so a kill
// or a power cut leaves a file that reads to within a minute of the end. A
// restart in the same night starts "-2", "-3", ..., and never overwrites.
// Beside it, "timelapse-YYYY-MM-DD.json" says when each image was taken and
// where its JPEG is in the file, rewritten (atomically) after each flush.
// Encoding and writing run on a thread of their own.
class Timelapse : public TrailListener {
public:
    Timelapse(TimelapseSettings settings, FILE* err, FilesInUse* inUse = nullptr);
    ~Timelapse() override;
    Timelapse(const Timelapse&) = delete;
    Timelapse& operator=(const Timelapse&) = delete;

    void ticked(const Tick& tick) override;
    // By day no image is added, and the night's file is closed.
    void dawn(int64_t millis) override;
    void dusk(int64_t) override { day_ = false; }
    void ended() override;

private:
    struct Still {
        cv::Mat image;  // none when the source's JPEG is kept
        int64_t millis;
        std::shared_ptr<const std::vector<uchar>> jpeg = nullptr;
        bool closesFile = false;  // none of the above: the file in progress ends here
    };
    void add(const Still& still);
    Result<> placeFile();
    std::string finalName() const;
    void flushNow();
    void writeIndex();
    void fail(const std::string& why);
    void close();
    void release();
    void complain(const std::string& line);

    const TimelapseSettings settings_;
    FilesInUse* inUse_;
    SayOnce said_;  // under mutex_
    bool started_ = false;
    int64_t lastMillis_ = 0;  // loop thread

    bool ended_ = false;  // loop thread
    bool day_ = false;    // loop thread

    std::mutex mutex_;  // said_ is used from both threads

    // Encoder thread only.
    MjpegVideo video_;
    bool open_ = false;
    bool placed_ = false;     // under its final name
    bool unflushed_ = false;  // images added since the last flush
    std::string writing_;     // the path it is written at now
    std::string night_;
    std::vector<int64_t> times_;  // of the images in the file
    cv::Size size_;
    std::chrono::steady_clock::time_point flushedAt_;
    int64_t flushedMillis_ = 0;
    Worker<Still> encoder_;  // last: its thread uses the members above
};
