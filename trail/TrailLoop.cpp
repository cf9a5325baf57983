#include "trail/TrailLoop.h"

#include <opencv2/core.hpp>

#include <limits>

int32_t firstChannelSum(const cv::Mat& image) {
    const double sum = cv::sum(image)[0];
    if (sum >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

TrailLoop::TrailLoop(const TrailDevices& devices) : devices_(devices) {}

int TrailLoop::run(CaptureState& capture) {
    setup(capture);
    captureVideoIn(capture);
    std::fprintf(devices_.out, "captured\n");
    while (!stopapp) {
        if (!pass(capture)) break;
    }
    std::fprintf(devices_.out, "closing app\n");
    std::fflush(devices_.out);
    return 0;
}

bool TrailLoop::pass(CaptureState& capture) {
    captureVideoIn(capture);
    const cv::Mat& frame = capture.frame;
    if (frame.empty()) {
        std::fprintf(devices_.out, "empty\n");
        std::fflush(devices_.out);
        std::fgetc(devices_.in);
        return false;
    }
    const int64_t now = devices_.wallClock.millis();
    if (!imMin.empty() && now >= nextInfoTime) infoTick(frame, now);
    merge(frame);
    pollKeys();
    return true;
}

void TrailLoop::infoTick(const cv::Mat& frame, int64_t now) {
    nextInfoTime = now + kInfoPeriodMs;
    if (saveTimeout > 0) --saveTimeout;
    cv::subtract(imMin, imOld, imDiff);  // saturates at 0 for 8-bit images
    imMin.copyTo(imOld);
    diff = firstChannelSum(imDiff);
    if (frameCounter > kMinMergedImages && diff > kGrowthThreshold && !save) {
        saveTimeout = kCountdownTicks;
        save = true;
    }
    std::fprintf(devices_.out,
                 "freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d\n", freq,
                 frameCounter, diff, trackCounter, save ? 1 : 0, saveTimeout);
    freq = 0;
    devices_.display.show("frame", frame);
    devices_.display.show("imMin", imMin);
}

void TrailLoop::merge(const cv::Mat& frame) {
    if (imMin.empty()) {
        frame.copyTo(imMin);
        frame.copyTo(imOld);
        return;
    }
    if (frame.size() != imMin.size() || frame.type() != imMin.type()) {
        // A camera that switched mode: the old trail cannot take this image.
        std::fprintf(devices_.out, "camera image changed to %dx%d, starting a new trail\n", frame.cols,
                     frame.rows);
        frameCounter = 0;
        restartTrail(frame);
        return;
    }
    cv::max(imMin, frame, imMin);
    ++frameCounter;
    ++freq;
    if (saveTimeout == 0 && save) writeSnapshot(frame);
}

void TrailLoop::writeSnapshot(const cv::Mat& frame) {
    frameCounter = 0;
    std::fprintf(devices_.out, "img %d\n", trackCounter);
    ++trackCounter;
    if (trackCounter > kLastSnapshotNumber) trackCounter = 0;
    std::snprintf(buf, sizeof buf, "img/%d.jpg", trackCounter);
    if (!devices_.snapshots.write(buf, imMin)) {
        std::fprintf(devices_.err, "cannot write snapshot %s\n", buf);
        std::fflush(devices_.err);
    }
    restartTrail(frame);
}

void TrailLoop::restartTrail(const cv::Mat& frame) {
    frame.copyTo(imMin);
    frame.copyTo(imOld);
    diff = 0;
    save = false;
    saveTimeout = 0;
}

void TrailLoop::pollKeys() {
    const int code = devices_.display.pollKey(kKeyPollMs);
    const auto key = static_cast<signed char>(code & 0xff);
    const bool stopSignalled = devices_.stopRequested != nullptr && *devices_.stopRequested != 0;
    if (key == 27 || key == 113 || stopSignalled) {
        std::fprintf(devices_.out, "stopapp\n");
        stopapp = true;
    }
}
