#include "cvio.h"

#include <opencv2/videoio.hpp>

CaptureState::CaptureState(Camera& camera, ProcessorClock& processorClock, FILE* console)
    : cap(camera),
      clock(processorClock),
      out(console),
      startTime(static_cast<double>(processorClock.now())) {}

bool setup(CaptureState& state) {
    std::fprintf(state.out, "setup\n");
    if (!state.cap.isOpened()) {
        std::fprintf(state.out, "cannot open camera");
        return false;
    }
    state.cap.set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
    state.cap.set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
    state.cap.read(state.frame);
    startupPanorama(state);
    captureVideoIn(state);
    std::fprintf(state.out, "setup done\n");
    return true;
}

void captureVideoIn(CaptureState& state) {
    state.cap.read(state.frame);
    if (state.frame.empty()) return;
    const auto stopTime = static_cast<double>(state.clock.now());
    state.delta_sec = (stopTime - state.startTime) / ProcessorClock::kTicksPerSecond;
    state.startTime = stopTime;
    ++state.framecounter;
}

void startupPanorama(CaptureState& state) {
    PanoramaUnwrapper& unwrapper = state.unwrapper;
    unwrapper.unwrapWidth(800);
    unwrapper.originalCentre(0.5f, 0.5f);
    unwrapper.imageRadius(0.18f, 0.35f);
    unwrapper.offsetAngle(250);
    unwrapper.originalSize(state.frame.cols, state.frame.rows);
    unwrapper.generateTransformation();
    // A camera that is open but delivers nothing leaves nothing to unwrap.
    if (state.frame.empty()) return;
    cv::Mat* panorama = nullptr;
    if (unwrapper.unwrap(&state.frame, &panorama)) state.unwrap.reset(panorama);
}
