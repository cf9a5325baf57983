#include "trail/TrailLoop.h"

#include "core/EightBits.h"
#include "trail/TrailGrowth.h"

#include <opencv2/core.hpp>

#include <poll.h>

#include <string>

namespace {

// Esc or q, judged on the low byte of the full key code.
bool isStopKey(int code) {
    const auto key = static_cast<signed char>(code & 0xff);
    return key == 27 || key == 113;
}

}  // namespace

TrailLoop::TrailLoop(const TrailDevices& devices) : devices_(devices) {}

int TrailLoop::run(CaptureState& capture) {
    // A replay merges every recorded image: start-up's reads start the first trail.
    std::vector<cv::Mat> startup;
    if (devices_.finiteInput) capture.keptImages = &startup;
    setup(capture);
    captureVideoIn(capture);
    capture.keptImages = nullptr;
    std::fprintf(devices_.out, "captured\n");
    for (cv::Mat& image : startup) {
        toEightBits(image);
        merge(image, false);
    }
    while (!stopapp) {
        if (!pass(capture)) break;
    }
    bool saved = true;
    if ((devices_.saveOnExit && frameCounter > 0) || (devices_.finiteInput && unsaved_))
        saved = writeSnapshot();
    std::fprintf(devices_.out, "closing app\n");
    std::fflush(devices_.out);
    return saved ? 0 : 1;
}

int TrailLoop::continueNumberingAfter(int newest) {
    const int next =
        nextSnapshotNumber(newest, [this](int n) { return devices_.snapshots.exists(snapshotPath(n)); });
    trackCounter = next == 0 ? kLastSnapshotNumber : next - 1;
    return trackCounter;
}

int TrailLoop::nextSnapshotNumber(int last, const std::function<bool(int)>& taken) {
    const auto following = [](int n) { return n >= kLastSnapshotNumber ? 0 : n + 1; };
    int number = following(last);
    for (int tried = 0; tried <= kLastSnapshotNumber; ++tried, number = following(number))
        if (!taken(number)) return number;
    return following(last);
}

std::string TrailLoop::snapshotPath(int number) const {
    return devices_.snapshotFolder + "/" + std::to_string(number) + ".jpg";
}

bool TrailLoop::pass(CaptureState& capture) {
    captureVideoIn(capture);
    if (capture.frame.empty() && !cameraLost(capture)) return false;
    cv::Mat& frame = capture.frame;
    toEightBits(frame);
    const int64_t now = devices_.wallClock.millis();
    // A wall clock set back (an NTP step, a board that learns the time after
    // boot) must not hold the ticks back for as long as it jumped.
    if (now < nextInfoTime - kInfoPeriodMs) nextInfoTime = now + kInfoPeriodMs;
    const bool tick = !imMin.empty() && now >= nextInfoTime;
    // In a tick pass the growth measure and the merge share one pass over
    // the trail, when the frame fits it.
    const bool fits = frame.size() == imMin.size() && frame.type() == imMin.type();
    if (tick) infoTick(frame, now, fits);
    merge(frame, tick && fits);
    pollKeys();
    return true;
}

// True when the camera is delivering again after a wait.
bool TrailLoop::cameraLost(CaptureState& capture) {
    if (devices_.finiteInput) return false;
    if (devices_.reconnectMs > 0) return reconnect(capture);
    std::fprintf(devices_.out, "empty\n");
    std::fflush(devices_.out);
    if (!devices_.mayReadInput || devices_.mayReadInput()) waitForCharacter();
    return false;
}

// Reads one character, giving up when a stop is asked for: a signal that came
// just before the read would not interrupt it.
void TrailLoop::waitForCharacter() {
    const int fd = fileno(devices_.in);
    pollfd input{fd, POLLIN, 0};
    while (fd >= 0 && !stopSignalled() && poll(&input, 1, 100) == 0) {
    }
    if (!stopSignalled()) std::fgetc(devices_.in);
}

bool TrailLoop::reconnect(CaptureState& capture) {
    std::fprintf(devices_.out, "camera delivered no image, trying to reopen it every %g s\n",
                 static_cast<double>(devices_.reconnectMs) / 1000);
    std::fflush(devices_.out);
    capture.cap.release();
    bool stopKey = false;
    while (!stopKey && !stopSignalled()) {
        int64_t start = devices_.wallClock.millis();
        for (int64_t now = start; !stopKey && !stopSignalled() && now - start < devices_.reconnectMs;
             now = devices_.wallClock.millis()) {
            if (now < start) start = now;  // the clock was set back
            stopKey = isStopKey(devices_.display.pollKey(100));
        }
        if (stopKey || stopSignalled() || !capture.cap.reopen()) continue;
        captureVideoIn(capture);
        if (capture.frame.empty()) continue;
        std::fprintf(devices_.out, "camera is back\n");
        std::fflush(devices_.out);
        return true;
    }
    std::fprintf(devices_.out, "stopapp\n");
    stopapp = true;
    return false;
}

// The trail and its growth measure are 8-bit: a 16-bit camera's full range
// is mapped onto 0..255.
void TrailLoop::toEightBits(cv::Mat& frame) {
    const int type = frame.type();
    if (!convertToEightBits(frame) || toldConversion_) return;
    std::fprintf(devices_.err, "camera images have %s: converting them to 8 bits\n",
                 describeImageType(type).c_str());
    std::fflush(devices_.err);
    toldConversion_ = true;
}

// With mergeFrame the frame is merged into the trail as well; imOld then
// holds the trail as it was before, which is what the windows show.
void TrailLoop::infoTick(const cv::Mat& frame, int64_t now, bool mergeFrame) {
    nextInfoTime = now + kInfoPeriodMs;
    if (saveTimeout > 0) --saveTimeout;
    diff = mergeFrame ? firstChannelGrowthAndMerge(imMin, imOld, frame) : firstChannelGrowth(imMin, imOld);
    if (frameCounter > kMinMergedImages && diff > kGrowthThreshold && !save) {
        saveTimeout = kCountdownTicks;
        save = true;
    }
    std::fprintf(devices_.out,
                 "freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d\n", freq,
                 frameCounter, diff, trackCounter, save ? 1 : 0, saveTimeout);
    for (TickObserver* observer : devices_.observers)
        observer->onTick({freq, frameCounter, diff, trackCounter, save, saveTimeout}, frame, imOld);
    freq = 0;
    devices_.display.show("frame", frame);
    devices_.display.show("imMin", imOld);
    if (devices_.panorama != nullptr) {
        const cv::Mat panorama = devices_.panorama->unwrap(frame);
        if (!panorama.empty()) devices_.display.show("panorama", panorama);
    }
}

void TrailLoop::merge(const cv::Mat& frame, bool alreadyMerged) {
    if (imMin.empty()) {
        restartTrail(frame);
        return;
    }
    if (frame.size() != imMin.size() || frame.type() != imMin.type()) {
        // A camera that switched mode: the old trail cannot take this image.
        // A replay keeps every trail; a camera the armed one.
        if (save || (devices_.finiteInput && unsaved_)) writeSnapshot();
        if (frame.size() != imMin.size())
            std::fprintf(devices_.out,
                         "camera image changed size from %dx%d to %dx%d, starting a new trail\n", imMin.cols,
                         imMin.rows, frame.cols, frame.rows);
        else
            std::fprintf(devices_.out, "camera image changed from %s to %s, starting a new trail\n",
                         describeImageType(imMin.type()).c_str(), describeImageType(frame.type()).c_str());
        frameCounter = 0;
        restartTrail(frame);
        return;
    }
    if (!alreadyMerged) cv::max(imMin, frame, imMin);
    unsaved_ = true;
    ++frameCounter;
    ++freq;
    if (saveTimeout == 0 && save) {
        writeSnapshot();
        restartTrail(frame);
        unsaved_ = false;  // the new trail's first image is in the snapshot already
    }
}

bool TrailLoop::writeSnapshot() {
    frameCounter = 0;
    unsaved_ = false;
    const char* folder = devices_.snapshotFolder.c_str();
    if (devices_.minFreeBytes > 0) {
        const int64_t free = devices_.snapshots.freeBytes(devices_.snapshotFolder);
        if (free >= 0 && free < devices_.minFreeBytes) {
            std::fprintf(devices_.err, "snapshot skipped: %lld MB free for %s, less than the %lld MB asked\n",
                         static_cast<long long>(free >> 20), folder,
                         static_cast<long long>(devices_.minFreeBytes >> 20));
            std::fflush(devices_.err);
            return false;
        }
    }
    // Numbers already taken (an older snapshot the clock made look older,
    // a file put there by hand) are passed over, never replaced.
    continueNumberingAfter(trackCounter);
    std::fprintf(devices_.out, "img %d\n", trackCounter);
    ++trackCounter;
    if (trackCounter > kLastSnapshotNumber) trackCounter = 0;
    const std::string path = snapshotPath(trackCounter);
    const std::string failure = devices_.snapshots.write(path, imMin);
    if (!failure.empty()) {
        std::fprintf(devices_.err, "cannot write snapshot %s: %s\n", path.c_str(), failure.c_str());
        std::fflush(devices_.err);
    }
    if (devices_.panorama != nullptr) {
        const cv::Mat panorama = devices_.panorama->unwrap(imMin);
        const std::string name =
            devices_.snapshotFolder + "/" + std::to_string(trackCounter) + "-panorama.jpg";
        const std::string panoramaFailure = panorama.empty() ? "" : devices_.snapshots.write(name, panorama);
        if (!panoramaFailure.empty())
            std::fprintf(devices_.err, "cannot write %s: %s\n", name.c_str(), panoramaFailure.c_str());
    }
    return failure.empty();
}

void TrailLoop::restartTrail(const cv::Mat& frame) {
    unsaved_ = true;
    frame.copyTo(imMin);
    frame.copyTo(imOld);
    diff = 0;
    save = false;
    saveTimeout = 0;
}

bool TrailLoop::stopSignalled() const {
    return devices_.stopRequested != nullptr && *devices_.stopRequested != 0;
}

void TrailLoop::pollKeys() {
    if (isStopKey(devices_.display.pollKey(kKeyPollMs)) || stopSignalled()) {
        std::fprintf(devices_.out, "stopapp\n");
        stopapp = true;
    }
}
