#include "app/runTrailCam.h"
#include "cvio.h"
#include "platform/DeviceAdapters.h"

#include <opencv2/videoio.hpp>

#include <cstdio>

namespace {
// Opened at program initialisation and, being created first, closed last.
cv::VideoCapture cap(1);
VideoCaptureCamera camera(cap);
SystemProcessorClock processorClock;
CaptureState capture(camera, processorClock, stdout);
}  // namespace

int main(int, char**) { return runTrailCam(capture); }
