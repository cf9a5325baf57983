#pragma once

#include "core/Devices.h"
#include "cvio.h"
#include "views/PanoramaView.h"

#include <opencv2/core.hpp>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Everything the trail loop talks to besides the camera, and the choices the
// user made for the run.
struct TrailDevices {
    WallClock& wallClock;
    Display& display;
    SnapshotWriter& snapshots;
    FILE* out;  // status lines
    FILE* err;  // failures and notices that do not stop the run
    FILE* in;   // one character is read from here after an empty image
    // Set asynchronously (Ctrl-C, SIGTERM, SIGHUP) to end the run as q does; may be null.
    const volatile std::sig_atomic_t* stopRequested = nullptr;
    // Whether the wait for a character may read `in` now (a background
    // process must not); null means always.
    std::function<bool()> mayReadInput = nullptr;
    std::string snapshotFolder = "img";
    PanoramaView* panorama = nullptr;  // a "panorama" window and N-panorama.jpg beside snapshots
    std::vector<TickObserver*> observers = {};
    bool saveOnExit = false;
    // A recording: its end is the normal end, and the trail in progress is
    // written on the way out.
    bool finiteInput = false;
    int64_t reconnectMs = 0;   // 0: a camera that delivers nothing ends the run
    int64_t minFreeBytes = 0;  // 0: no minimum
};

// The trail: the per-pixel maximum of every image since the last reset, a
// growth measurement once a second, and a numbered snapshot 300 ticks after a
// burst of growth.
class TrailLoop {
public:
    static constexpr int64_t kInfoPeriodMs = 1000;
    static constexpr int32_t kMinMergedImages = 800;
    static constexpr int32_t kGrowthThreshold = 2000;
    static constexpr int32_t kCountdownTicks = 300;
    static constexpr int32_t kLastSnapshotNumber = 30000;
    static constexpr int kKeyPollMs = 1;

    explicit TrailLoop(const TrailDevices& devices);

    // Start-up, the loop until Esc, q, a stop request or an empty image, and
    // the closing line. Returns the process exit status: 1 when the trail
    // that had to be written on the way out could not be.
    int run(CaptureState& capture);

    // Numbering goes on after the newest snapshot found in the folder, past
    // any numbers already taken; returns the number it goes on after.
    int continueNumberingAfter(int newest);

    // The number of the snapshot that follows `last`: the next one that is
    // not taken yet, or, when every number is, the plain next one (the wrap
    // after kLastSnapshotNumber then overwrites the oldest numbers).
    static int nextSnapshotNumber(int last, const std::function<bool(int)>& taken);

    // One loop pass on the next camera image; false when the run ends.
    bool pass(CaptureState& capture);

    // Loop state, kept in the open so that tests can place the loop at any
    // point of its life.
    bool stopapp = false;
    cv::Mat imMin;
    cv::Mat imOld;
    int32_t diff = 0;
    int32_t frameCounter = 0;
    int32_t freq = 0;
    int64_t nextInfoTime = 0;
    bool save = false;
    int32_t saveTimeout = 0;
    int32_t trackCounter = 0;

private:
    void infoTick(const cv::Mat& frame, int64_t now, bool mergeFrame);
    void merge(const cv::Mat& frame, bool alreadyMerged);
    // False when the snapshot was not written (skipped or failed).
    bool writeSnapshot();
    std::string snapshotPath(int number) const;
    void restartTrail(const cv::Mat& frame);
    void pollKeys();
    bool stopSignalled() const;
    bool cameraLost(CaptureState& capture);
    void waitForCharacter();
    bool reconnect(CaptureState& capture);
    void toEightBits(cv::Mat& frame);

    TrailDevices devices_;
    bool toldConversion_ = false;
    // The trail holds images that are in no snapshot yet.
    bool unsaved_ = false;
};
