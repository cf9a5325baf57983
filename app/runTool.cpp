#include "app/runTool.h"

#include "camera/DemoSky.h"
#include "camera/VideoCaptureCamera.h"
#include "cvio.h"
#include "platform/Clocks.h"
#include "platform/HighGuiDisplay.h"
#include "platform/LiveFiles.h"
#include "platform/SnapshotFiles.h"
#include "platform/StopSignals.h"
#include "platform/VideoDeviceList.h"
#include "trail/PanoramaView.h"
#include "trail/TrailLoop.h"

#include <cstdio>

namespace {

int runTrail(const Settings& s, CaptureState& capture, Display& display) {
    SystemWallClock wallClock;
    SnapshotFiles snapshots;
    PanoramaView panorama(stderr);
    LiveFiles live(s.liveFolder, s.demo ? "demo" : s.device, stderr);
    TrailDevices devices{wallClock, display, snapshots, stdout, stderr, stdin, &stopRequested};
    devices.mayReadInput = [] { return mayReadTerminal(fileno(stdin)); };
    devices.snapshotFolder = s.output;
    devices.panorama = s.panorama ? &panorama : nullptr;
    devices.observer = s.liveFolder.empty() ? nullptr : &live;
    devices.saveOnExit = s.saveOnExit;
    devices.reconnectMs = static_cast<int64_t>(s.reconnectSeconds * 1000);
    devices.minFreeBytes = static_cast<int64_t>(s.minFreeMb * 1048576);

    TrailLoop loop(devices);
    removeLeftoverTemporaries(s.output);
    if (const auto newest = newestSnapshotNumber(s.output, TrailLoop::kLastSnapshotNumber)) {
        loop.trackCounter = *newest;
        std::fprintf(stderr, "snapshots continue after %s/%d.jpg\n", s.output.c_str(), *newest);
    }
    return loop.run(capture);
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

    VideoCaptureCamera camera(cap, s.device);
    DemoSky sky;
    if (!s.demo) camera.open();
    SystemProcessorClock processorClock;
    CaptureState capture(s.demo ? static_cast<Camera&>(sky) : camera, processorClock, stdout);
    capture.requestedSize = s.size;
    capture.requestedFps = s.fps;
    capture.notices = stderr;
    capture.stopRequested = &stopRequested;
    HighGuiDisplay display(stderr, s.headless);

    if (s.record)
        return captureVideoOut(capture, display, s.recordTo + ".avi", s.recordTo + ".xml") == 0 ? 0 : 1;
    return runTrail(s, capture, display);
}
