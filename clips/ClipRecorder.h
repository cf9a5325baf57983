#pragma once

#include "core/Stretch.h"

#include "core/SayOnce.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "platform/MjpegVideo.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ClipSettings {
    std::string folder;
    double beforeSeconds = 3;
    double afterSeconds = 5;
    int32_t eventDiff = kGrowthThreshold;  // a tick whose diff exceeds this is an event
    int64_t memoryBytes = 64 << 20;
    // A replay waits for the encoder instead of leaving images out, so that
    // its clips are the same on every run.
    bool waitForEncoder = false;
    double maxSeconds = 60;             // a longer event goes on in the next clip
    Stretch stretch = Stretch::linear;  // how a 16-bit camera's images are shown
    // How long after its start an event may be told (a meteor, once it
    // ended): the ring keeps its images that long.
    double lateSeconds = 0;
};

// A short video of every event: the camera's images from a few seconds
// before the second the event's tick measured to a few seconds after it,
// with a JSON of their times. Images wait, encoded as JPEG on a thread of
// its own, in a ring bounded in bytes; events whose clips would overlap or
// touch make one clip. The loop only hands images over: when the encoder
// cannot keep up, images are left out, said once, and counted in the clip.
// A clip is written under a hidden name and, once its JSON is in place,
// renamed when it is whole, never over another clip: a taken name goes on
// as "-2", "-3", ... A clip ends at --clip-max seconds or when the images
// change size, and the event goes on in the next one without an image
// lost. The one in progress is finished when the run ends. The declared
// rate comes from the images' own times, so a replay's clips are the same
// on every run.
class ClipRecorder : public TrailListener, public EventShelf {
public:
    ClipRecorder(ClipSettings settings, FILE* err);
    ~ClipRecorder() override;
    ClipRecorder(const ClipRecorder&) = delete;
    ClipRecorder& operator=(const ClipRecorder&) = delete;

    void framed(const Frame& frame) override;
    void ticked(const Tick& tick) override;
    void ended() override;
    // A meteor always makes a clip, whatever its tick's growth.
    void meteorDetected(const Meteor& meteor) override;

    // The events so far, newest first (the last 200); from any thread.
    std::vector<EventSeen> events() const override;
    // Told, on the clip thread, of each clip in place. Set before images come.
    void announceTo(Announcements* announcements) { announcements_ = announcements; }
    // Opens a clip's file by its exact name ("20261207-221320100.avi" or
    // ".json") to be served, with the snapshot folder's rules; -1 otherwise.
    int openToServe(const std::string& name, uint64_t& size) const override;

private:
    struct Raw {
        cv::Mat image;  // none when the source's JPEG is kept
        int64_t millis;
        int fps;  // the images' rate as their times tell; 0 before a second image
        std::shared_ptr<const std::vector<uchar>> jpeg;
        cv::Size size;
    };
    struct Encoded {
        std::shared_ptr<const std::vector<uchar>> jpeg;
        int64_t millis;
        cv::Size size;
        int fps;
    };
    struct Event {
        int64_t from, millis;  // the second its tick measured
        int32_t diff;
        cv::Rect box;
        int fps;
    };
    struct Clip {
        int64_t start = 0, end = 0;
        std::vector<Event> events;
        std::vector<int64_t> times;
        int64_t lastWritten = INT64_MIN;
        cv::Size size;
        std::string name;     // from its first image's time
        std::string partial;  // where it is written until it is whole
        MjpegVideo video;
        bool failed = false;
    };

    struct Work {  // an event, or else an image
        std::optional<Event> event;
        Raw raw;
    };
    void process(Work& work);
    void take(const Event& event);
    void take(Encoded image);
    bool startClip(const Event& event);
    void writeUpTo(int64_t millis, bool last = false);
    void goOnInNextClip(int64_t millis);
    void finishClip();
    void writeClip(Clip& clip);
    Result<std::string> placeClip(Clip& clip, const std::string& json);
    void abandonClip(const std::string& why);
    void lose(const Clip& clip, const std::string& why);
    void missing(int64_t millis, const char* why);

    const ClipSettings settings_;
    FILE* err_;
    Announcements* announcements_ = nullptr;
    SayOnce said_;

    // Loop thread only.
    cv::Mat previousTrail_;
    int64_t previousTick_ = INT64_MIN;
    std::deque<int64_t> recentTimes_;  // of the last images, for their rate
    int fps_ = 30;
    size_t capacity_ = 1;  // images that may wait for the encoder
    bool ended_ = false;

    mutable std::mutex mutex_;
    std::deque<EventSeen> seen_;
    std::deque<int64_t> missing_;  // times of images left out

    // Clip thread only.
    std::deque<Encoded> ring_;
    int64_t ringBytes_ = 0;
    std::optional<Clip> clip_;
    Worker<Work> worker_;  // last: its thread uses the members above
};
