#include "runTrailCam.h"

#include "DeviceAdapters.h"
#include "StopSignals.h"
#include "TrailLoop.h"

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
