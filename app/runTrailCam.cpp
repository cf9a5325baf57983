#include "app/runTrailCam.h"

#include "platform/DeviceAdapters.h"
#include "platform/StopSignals.h"
#include "trail/TrailLoop.h"

#include <cstdio>

int runTrailCam(CaptureState& capture) {
    // Status lines reach a pipe or a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    installStopSignals();
    SystemWallClock wallClock;
    HighGuiDisplay display(stderr);
    ImageFileWriter snapshots;
    TrailDevices devices{wallClock, display, snapshots, stdout, stderr, stdin, &stopRequested};
    TrailLoop loop(devices);
    return loop.run(capture);
}
