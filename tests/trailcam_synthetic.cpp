// The tool as shipped, but watching a synthetic scene (a moving bright dot)
// instead of camera index 1: for end-to-end tests with real windows, keys and
// signals on machines without a camera.
#include "Fakes.h"
#include "app/runTrailCam.h"
#include "cvio.h"
#include "platform/DeviceAdapters.h"

#include <chrono>
#include <thread>

namespace {

// Delivers images at about 100 per second, like a fast webcam.
class PacedCamera : public SyntheticCamera {
public:
    PacedCamera() { size = {320, 240}; }
    void read(cv::Mat& image) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        SyntheticCamera::read(image);
    }
};

PacedCamera camera;
SystemProcessorClock processorClock;
CaptureState capture(camera, processorClock, stdout);

}  // namespace

int main(int, char**) { return runTrailCam(capture); }
