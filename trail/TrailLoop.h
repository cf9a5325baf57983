#pragma once

#include "core/Daylight.h"
#include "core/Display.h"
#include "core/FrameSource.h"
#include "core/TrailEvents.h"
#include "trail/FlashGate.h"

#include <opencv2/core.hpp>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

// The loop's state, under the names it has always had.
struct TrailState {
    bool stopapp = false;
    cv::Mat imMin;             // the trail: the per-pixel maximum since the last reset
    cv::Mat imOld;             // the trail at the previous tick (or reset)
    int32_t diff = 0;          // first-channel growth at the last tick
    int32_t frameCounter = 0;  // images merged since the last reset
    int32_t freq = 0;          // images merged since the last tick
    int64_t nextInfoTime = 0;  // frame time at or after which the next tick runs
    bool save = false;         // a snapshot is pending
    int32_t saveTimeout = 0;   // ticks left before it is made
    int32_t trackCounter = 0;  // number of the last snapshot
    bool unsaved = false;      // the trail holds images that are in no snapshot yet
    TrailSpan span;            // the trail's images and times
    cv::Mat imTime;            // with a time map: per pixel, seconds from span.startMillis to its last rise
    // With a time map of the big rises only: the pixels it had a time
    // written to since the last tick.
    StampedPixels stamped;
};

// The user's choices for the loop.
struct TrailChoices {
    bool saveOnExit = false;
    // A recording replayed: its end is the normal end, and every image of it
    // lands in a snapshot.
    bool replay = false;
    int64_t reconnectMs = 0;  // 0: a camera that delivers nothing ends the run
    // Keep, for each pixel, the time of the last image that raised it.
    bool timeMap = false;
    // Keep flashes out of the trail.
    std::optional<FlashRule> flashes = std::nullopt;
    // Keep a 16-bit source's trail in 16 bits (else it is brought to 8), and
    // how the ticks' listeners show it.
    bool sixteenBits = false;
    Stretch stretch = Stretch::linear;
    // Working from dusk to dawn: while this says the sun is up, images stay
    // out of the trail (ticks go on, with nothing merged). Null: always.
    const Daylight* daylight = nullptr;
    // And by day the camera is let go of, and opened again at dusk.
    bool dayCloseCamera = false;
    // A time map of the rises by more than this many levels only (what
    // meteors need), which is seldom written to and costs the merge little.
    int timeMapMinRise = 0;
};

// What the loop reads besides the camera.
struct TrailInputs {
    Display& keys;  // polled for Esc and q
    SnapshotStore& snapshots;
    FILE* terminal;  // one character is read from here after an empty image
    // Whether the terminal may be read now (a background process must not);
    // null means always.
    std::function<bool()> mayReadTerminal = nullptr;
    // Set asynchronously (Ctrl-C, SIGTERM, SIGHUP) to end the run as q does; may be null.
    const volatile std::sig_atomic_t* stopRequested = nullptr;
    // The wall clock, for a camera closed by day; null: the time waited is
    // counted in key polls.
    std::function<int64_t()> wallMillis = nullptr;
};

// The trail: the per-pixel maximum of every image since the last reset, a
// growth measurement once a second, and a numbered snapshot 300 ticks after a
// burst of growth. It decides, and tells its listeners, in order; it prints
// nothing, writes nothing and shows nothing itself.
class TrailLoop {
public:
    static constexpr int64_t kInfoPeriodMs = 1000;
    static constexpr int32_t kMinMergedImages = 800;
    static constexpr int32_t kGrowthThreshold = ::kGrowthThreshold;
    static constexpr int32_t kCountdownTicks = 300;
    static constexpr int kKeyPollMs = 1;

    TrailLoop(TrailInputs inputs, TrailChoices choices, std::vector<TrailListener*> listeners);

    // Start-up, the loop until Esc, q, a stop request or an empty image, and
    // the end. Returns the process exit status.
    int run(FrameSource& source);
    // One loop pass on the next camera image; false when the run ends.
    bool pass(FrameSource& source);

    const TrailState& state() const { return state_; }
    // For start-up and tests: places the loop at any point of its life.
    void setState(TrailState state) { state_ = std::move(state); }

    // Numbering goes on after the newest snapshot, past any numbers already
    // taken; returns the number it goes on after.
    int32_t continueNumberingAfter(int32_t newest);
    // The number of the snapshot that follows `last`: the next one that is
    // not taken, or, when every number is, the plain next one (the wrap
    // after kLastSnapshotNumber then overwrites the oldest numbers).
    static int32_t nextSnapshotNumber(int32_t last, const std::function<bool(int32_t)>& taken);

private:
    template <typename Event>
    void tell(Event event);
    void infoTick(const Frame& frame, bool mergeFrame);
    void merge(Frame& frame, bool alreadyMerged);
    void snapshot(SnapshotReason reason, int64_t millis);
    void restartTrail(const Frame& frame);
    void pollKeys();
    bool stopSignalled() const;
    bool cameraCameBack(FrameSource& source, Frame& frame);
    bool reconnect(FrameSource& source, Frame& frame);
    void waitForCharacter();
    void toEightBits(Frame& frame);
    bool keptOutAsFlash(const Frame& frame);
    bool leftOutByDaylight(const Frame& frame);
    bool closedThroughTheDay(FrameSource& source, int64_t dayMillis);
    bool waitUnlessStopped(int64_t ms);
    void darkTrail(const Frame& frame);
    void endFlashRun();
    cv::Mat spareBuffer(cv::Size size, int type);
    void prepareBuffer(cv::Size size, int type);

    TrailInputs inputs_;
    TrailChoices choices_;
    std::vector<TrailListener*> listeners_;
    TrailState state_;
    bool toldConversion_ = false;
    FlashGate gate_;                    // with flashes kept out
    std::optional<FlashRun> flashRun_;  // the images kept out since the last one let in
    int64_t lastFrameMillis_ = 0;
    std::optional<bool> day_;  // with daylight: whether the last image was taken by day
    // Buffers for trails and time maps: those handed over with snapshots,
    // which later trails start in once nobody else holds them, and one of
    // each made ahead with the first trail of a size, so that no snapshot
    // waits for new memory to be mapped in.
    std::vector<cv::Mat> buffers_;
};
