#include "cvio.h"

#include <opencv2/videoio.hpp>

#include <cmath>

CaptureState::CaptureState(Camera& camera, ProcessorClock& processorClock, FILE* console)
    : cap(camera),
      clock(processorClock),
      out(console),
      startTime(static_cast<double>(processorClock.now())) {}

namespace {

void reportDelivered(const CaptureState& state) {
    if (state.notices == nullptr) return;
    const cv::Size size = state.frame.size();
    if (!state.frame.empty() && size != state.requestedSize)
        std::fprintf(state.notices, "camera delivers %dx%d (asked for %dx%d)\n", size.width, size.height,
                     state.requestedSize.width, state.requestedSize.height);
    const double fps = state.requestedFps > 0 ? state.cap.get(cv::CAP_PROP_FPS) : 0;
    if (fps > 0 && std::abs(fps - state.requestedFps) > 0.01)
        std::fprintf(state.notices, "camera runs at %g images per second (asked for %g)\n", fps,
                     state.requestedFps);
    std::fflush(state.notices);
}

}  // namespace

bool setup(CaptureState& state) {
    std::fprintf(state.out, "setup\n");
    if (!state.cap.isOpened()) {
        std::fprintf(state.out, "cannot open camera");
        return false;
    }
    state.cap.set(cv::CAP_PROP_FRAME_WIDTH, state.requestedSize.width);
    state.cap.set(cv::CAP_PROP_FRAME_HEIGHT, state.requestedSize.height);
    if (state.requestedFps > 0) state.cap.set(cv::CAP_PROP_FPS, state.requestedFps);
    state.cap.read(state.frame);
    if (state.keptImages != nullptr && !state.frame.empty()) state.keptImages->push_back(state.frame.clone());
    reportDelivered(state);
    startupPanorama(state);
    captureVideoIn(state);
    std::fprintf(state.out, "setup done\n");
    return true;
}

void captureVideoIn(CaptureState& state) {
    state.cap.read(state.frame);
    if (state.frame.empty()) return;
    if (state.keptImages != nullptr) state.keptImages->push_back(state.frame.clone());
    const auto stopTime = static_cast<double>(state.clock.now());
    state.delta_sec = (stopTime - state.startTime) / ProcessorClock::kTicksPerSecond;
    state.startTime = stopTime;
    ++state.framecounter;
}

bool useStartupGeometry(PanoramaUnwrapper& unwrapper, int width, int height) {
    unwrapper.unwrapWidth(800);
    unwrapper.originalCentre(0.5f, 0.5f);
    unwrapper.imageRadius(0.18f, 0.35f);
    unwrapper.offsetAngle(250);
    unwrapper.originalSize(width, height);
    return unwrapper.generateTransformation();
}

void startupPanorama(CaptureState& state) {
    PanoramaUnwrapper& unwrapper = state.unwrapper;
    useStartupGeometry(unwrapper, state.frame.cols, state.frame.rows);
    // A camera that is open but delivers nothing leaves nothing to unwrap.
    if (state.frame.empty()) return;
    cv::Mat* panorama = nullptr;
    if (unwrapper.unwrap(&state.frame, &panorama)) state.unwrap.reset(panorama);
}
