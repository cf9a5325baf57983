#include "DeviceAdapters.h"
#include "TrailLoop.h"
#include "cvio.h"

#include <opencv2/videoio.hpp>

#include <cstdio>

namespace {
// Opened at program initialisation and, being created first, closed last.
cv::VideoCapture cap(1);
VideoCaptureCamera camera(cap);
SystemProcessorClock processorClock;
CaptureState capture(camera, processorClock, stdout);
}  // namespace

int main(int, char**) {
    SystemWallClock wallClock;
    HighGuiDisplay display;
    ImageFileWriter snapshots;
    TrailLoop loop(TrailDevices{wallClock, display, snapshots, stdout, stderr, stdin});
    return loop.run(capture);
}
