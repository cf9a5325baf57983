#pragma once

#include "core/Camera.h"
#include "core/Frame.h"
#include "core/Meteor.h"
#include "core/StampedPixels.h"
#include "core/Stretch.h"
#include "core/TickPictures.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Snapshots are numbered 1 to this, then 0, 1, 2, ... again.
constexpr int32_t kLastSnapshotNumber = 30000;
// A tick whose growth exceeds this arms the countdown (and, by default, is an event).
constexpr int32_t kGrowthThreshold = 2000;

// What an info tick measured, under the names of the status line.
struct TickStatus {
    int32_t freq = 0;
    int32_t frameCounter = 0;
    int32_t diff = 0;
    int32_t trackCounter = 0;
    bool save = false;
    int32_t saveTimeout = 0;
    std::optional<int32_t> rejected = std::nullopt;  // with flashes kept out: those of the trail in progress
};

// "freq=30  frameCounter=912  diff=2295  trackCounter=0  save=1  saveTimeout=300"
std::string statusLine(const TickStatus& status);
// The same fields as JSON members: "\"freq\":30,\"frameCounter\":912,..."
std::string statusJsonMembers(const TickStatus& status);
// An exposure in progress in JSON: "{\"seconds\":30,\"secondsLeft\":12.4}"
std::string exposureJson(const Exposure& exposure);

// The images of a trail and their times (frame times, in milliseconds).
struct TrailSpan {
    int64_t startMillis = 0;  // of the image that started it
    int64_t endMillis = 0;    // of the last image merged
    int32_t images = 0;       // counting the one that started it
    bool armed = false;       // whether a tick armed the countdown, and then
    int64_t armedMillis = 0;  // that tick's time
    int32_t armedDiff = 0;    // and its diff
    // With flashes kept out: how many images, and over which [first, last]
    // times, in runs.
    struct Rejected {
        int32_t images = 0;
        std::vector<std::pair<int64_t, int64_t>> spans;
    };
    std::optional<Rejected> rejected = std::nullopt;
};

// Images kept out of the trail: one that would raise more than `percent` %
// of the trail's pixels by more than `margin` levels in any channel is a
// flash. Kept out for longer than `maxSeconds` of image time, the scene has
// changed: the trail in progress is written and a new one starts.
struct FlashRule {
    double percent = 5;
    int margin = 32;
    double maxSeconds = 10;
};

// An image kept out of the trail, and the share of its pixels that were brighter.
struct KeptOut {
    Frame frame;
    double share = 0;
};

// A run of images kept out, once it ends: the first and last times, how
// many, and the largest share.
struct FlashRun {
    int64_t firstMillis = 0, lastMillis = 0;
    int32_t images = 0;
    double share = 0;
};

// An info tick: its status, the frame of its pass and the trail as it was
// before that frame was merged, with its span and (when kept) time map.
struct Tick {
    TickStatus status;
    Frame frame;
    cv::Mat trail;
    TrailSpan span;
    cv::Mat timeMap;
    Stretch stretch = Stretch::linear;  // how 16-bit images are shown
    // With a time map of the big rises only (meteors): the pixels that rose
    // so since the last tick.
    const StampedPixels* stamped = nullptr;
    // The frame and trail as JPEGs for whoever shows or stores them, made
    // when first asked for (on the loop's thread) and shared by all.
    std::shared_ptr<const TickPictures> pictures() const;
    mutable std::shared_ptr<const TickPictures> madePictures = nullptr;
};

enum class SnapshotReason { countdown, modeChange, exit, endOfInput, sceneChange, dawn };

// A trail to keep as snapshot `number`. The loop lets go of the trail and
// time map it hands over and starts its next trail in new buffers: a listener
// may keep them as they are, without a copy; nobody writes to them.
struct SnapshotDue {
    int32_t number;
    cv::Mat trail;
    SnapshotReason reason;
    int64_t millis;  // the time of the pass that decided it
    TrailSpan span;
    cv::Mat timeMap;  // with a time map: seconds from span.startMillis, CV_32FC1
    // Once written (snapshotWritten): the file's JPEG bytes, for whoever
    // sends the snapshot on, so that it is encoded once.
    std::shared_ptr<const std::vector<uchar>> jpeg = nullptr;
};

// A camera whose images changed size or type: the trail starts anew.
struct ModeChange {
    cv::Size fromSize, toSize;
    int fromType, toType;
};

// The part of a trail an event's or a meteor's thumbnail shows: the box
// where it grew with a margin around it, within the image.
constexpr int kThumbnailMargin = 16;
cv::Rect thumbnailBox(const cv::Rect& grown, cv::Size image);

// A clip in place, with its JSON: its name without extension, the times of
// its first and last images and their number.
struct ClipWritten {
    std::string name;
    int64_t firstMillis = 0, lastMillis = 0;
    size_t images = 0;
};

// What the trail loop tells the views, files and services of a run. Called
// on the loop's thread unless said otherwise: a listener does its work
// quickly or hands it over.
class TrailListener {
public:
    virtual ~TrailListener() = default;
    virtual void started() {}
    // Every image the loop takes, after it was merged (or kept out).
    virtual void framed(const Frame&) {}
    // An image kept out of the trail as a flash, told before framed; a run
    // of them once it ends.
    virtual void keptOut(const KeptOut&) {}
    virtual void flashRunEnded(const FlashRun&) {}
    virtual void ticked(const Tick&) {}
    // About once a second while the camera takes a long exposure.
    virtual void exposing(const Exposure&) {}
    virtual void snapshotDue(const SnapshotDue&) {}
    virtual void modeChanged(const ModeChange&) {}
    // The camera's images have another depth (type) and are brought to 8 bits.
    virtual void converting(int) {}
    // Working from dusk to dawn: the sun went down (images go into a new
    // trail from this time) or came up (the trail was written; images stay
    // out until dusk). Told at the first image on the other side; dawn also
    // at a run's first image when the sun is up then.
    virtual void dusk(int64_t) {}
    virtual void dawn(int64_t) {}
    virtual void cameraEmpty() {}
    virtual void reconnecting(int64_t) {}  // every so many milliseconds
    // About once a second while the loop waits to reopen a lost camera.
    virtual void waitingForCamera() {}
    virtual void cameraBack() {}
    virtual void stopping() {}
    virtual void ended() {}
    // What listeners tell each other (see Announcements): a snapshot and
    // what goes beside it in place; a clip in place, on the clip recorder's
    // thread.
    virtual void snapshotWritten(const SnapshotDue&) {}
    virtual void clipWritten(const ClipWritten&) {}
    // A meteor found (--meteors), told on the loop's thread soon after it
    // ended: for clips around it, MQTT and the web view.
    virtual void meteorDetected(const Meteor&) {}
};

// Where a listener tells the others what it has done.
class Announcements {
public:
    virtual ~Announcements() = default;
    virtual void snapshotWritten(const SnapshotDue& due) = 0;
    virtual void clipWritten(const ClipWritten& clip) = 0;
    virtual void meteorDetected(const Meteor& meteor) = 0;
};

// Tells every listener of a run, in its order.
class ListenerSet : public Announcements {
public:
    explicit ListenerSet(std::vector<TrailListener*> listeners) : listeners_(std::move(listeners)) {}
    void snapshotWritten(const SnapshotDue& due) override {
        for (TrailListener* listener : listeners_)
            listener->snapshotWritten(due);
    }
    void clipWritten(const ClipWritten& clip) override {
        for (TrailListener* listener : listeners_)
            listener->clipWritten(clip);
    }
    void meteorDetected(const Meteor& meteor) override {
        for (TrailListener* listener : listeners_)
            listener->meteorDetected(meteor);
    }

private:
    std::vector<TrailListener*> listeners_;
};

// What the loop asks of the place its snapshots go before it numbers one.
class SnapshotStore {
public:
    virtual ~SnapshotStore() = default;
    // Whether there is room for a snapshot now; says why not when not.
    virtual bool hasRoom() = 0;
    virtual bool taken(int32_t number) = 0;
    // Whether a snapshot may replace the one numbered so, which happens only
    // when every number is taken; says why not when not.
    virtual bool mayReplace(int32_t number) = 0;
};
