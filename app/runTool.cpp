#include "app/runTool.h"

#include "camera/DemoSky.h"
#include "camera/VideoCaptureCamera.h"
#include "cvio.h"
#include "input/openInput.h"
#include "platform/Clocks.h"
#include "platform/HighGuiDisplay.h"
#include "platform/StopSignals.h"
#include "platform/VideoDeviceList.h"
#include "snapshots/SnapshotFolder.h"
#include "trail/TrailLoop.h"
#include "views/LiveFiles.h"
#include "views/PanoramaView.h"
#include "web/WebView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

int runTrail(const Settings& s, CaptureState& capture, Display& display, WallClock& wallClock) {
    FolderLock lock;
    std::string reason;
    switch (lock.take(s.output, reason)) {
        case FolderLock::Outcome::busy:
            std::fprintf(stderr, "trailcam: another trailcam is using the snapshot folder %s\n",
                         s.output.c_str());
            return 1;
        case FolderLock::Outcome::failed:
            std::fprintf(stderr, "cannot lock the snapshot folder %s: %s\n", s.output.c_str(),
                         reason.c_str());
            break;
        case FolderLock::Outcome::held:
            removeLeftoverTemporaries(s.output);
            break;
    }
    if (!s.liveFolder.empty()) removeLeftoverTemporaries(s.liveFolder, 60);
    SnapshotFiles snapshots;
    PanoramaView panorama(stderr);
    const std::string source = withoutUserInfo(!s.input.empty() ? s.input : s.demo ? "demo" : s.device);
    LiveFiles live(s.liveFolder, source, stderr);
    TrailDevices devices{wallClock, display, snapshots, stdout, stderr, stdin, &stopRequested};
    devices.mayReadInput = [] { return mayReadTerminal(fileno(stdin)); };
    devices.snapshotFolder = s.output;
    devices.panorama = s.panorama ? &panorama : nullptr;
    if (!s.liveFolder.empty()) devices.observers.push_back(&live);
    std::unique_ptr<WebView> web;
    if (!s.httpHost.empty()) {
        web = std::make_unique<WebView>(WebView::Address{s.httpHost, s.httpPort, s.httpAllowedHosts},
                                        s.output, source, stderr);
        if (!web->start()) return 1;
        devices.observers.push_back(web.get());
    }
    devices.saveOnExit = s.saveOnExit;
    devices.finiteInput = !s.input.empty();
    devices.reconnectMs = static_cast<int64_t>(s.reconnectSeconds * 1000);
    devices.minFreeBytes = static_cast<int64_t>(s.minFreeMb * 1048576);

    TrailLoop loop(devices);
    if (const auto newest = newestSnapshotNumber(s.output, TrailLoop::kLastSnapshotNumber))
        std::fprintf(stderr, "snapshots continue after %s/%d.jpg\n", s.output.c_str(),
                     loop.continueNumberingAfter(*newest));
    return loop.run(capture);
}

// A recording instead of a camera: the same start-up and loop, on the
// recording's own time and as fast as it decodes.
int replay(const Settings& s) {
    std::string failure;
    const int threads =
        s.threads > 0 ? s.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const std::unique_ptr<RecordedInput> input =
        openRecordedInput(s.input, s.inputFps, threads, stderr, failure);
    if (!input) {
        std::fprintf(stderr, "trailcam: %s\n", failure.c_str());
        return 1;
    }
    SystemProcessorClock processorClock;
    CaptureState capture(*input, processorClock, stdout);
    HighGuiDisplay display(stderr, !s.show, false);
    return runTrail(s, capture, display, *input);
}

}  // namespace

int runTool(const Settings& s, cv::VideoCapture& cap) {
    // Status lines reach a pipe or a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (s.listDevices) {
        std::fputs(describeVideoDevices(listVideoDevices()).c_str(), stdout);
        return 0;
    }
    installStopSignals();
    if (!s.input.empty()) return replay(s);

    VideoCaptureCamera camera(cap, s.device, &stopRequested, stderr);
    DemoSky sky(30, s.demoSpeed);
    if (!s.demo) camera.open();
    SystemProcessorClock processorClock;
    CaptureState capture(s.demo ? static_cast<Camera&>(sky) : camera, processorClock, stdout);
    capture.requestedSize = s.size;
    capture.requestedFps = s.fps;
    capture.notices = stderr;
    capture.stopRequested = &stopRequested;
    HighGuiDisplay display(stderr, s.headless);

    SystemWallClock systemClock;
    const bool skyTime = s.demo && s.demoSpeed != 1;
    const int status =
        s.record ? (captureVideoOut(capture, display, s.recordTo + ".avi", s.recordTo + ".xml") == 0 ? 0 : 1)
                 : runTrail(s, capture, display, skyTime ? static_cast<WallClock&>(sky) : systemClock);
    if (camera.openAbandoned()) {
        // A thread is still inside OpenCV opening the device: end without
        // tearing down what it may touch.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
