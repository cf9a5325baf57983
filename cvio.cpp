#include "cvio.h"

#include <cmath>
#include <utility>

CaptureState::CaptureState(Camera& camera, ProcessorClock& processorClock, FILE* console, FILE* noticeStream,
                           CaptureSettings captureSettings)
    : cap(camera),
      clock(processorClock),
      out(console),
      notices(noticeStream),
      settings(captureSettings),
      startTime(static_cast<double>(processorClock.now())) {}

namespace {

Frame withExtras(Frame frame, cv::Mat own, std::function<void(cv::Mat&)> mends,
                 std::function<void(cv::Mat*)> finish = nullptr) {
    frame.own = std::move(own);
    frame.mendTrail = std::move(mends);
    frame.finish = std::move(finish);
    return frame;
}

// The work a stage left for the merge, done now: for an image that goes to
// no merge (start-up's) or is kept as it is.
void finishNow(CaptureState& state) {
    if (state.frameFinish) std::exchange(state.frameFinish, nullptr)(nullptr);
}

// Reads from the camera into state.frame's own pixels where it can.
void readFrame(CaptureState& state) {
    Frame read;
    read.image = state.frame;
    state.cap.read(read);
    state.frame = read.image;
    state.frameMillis = read.millis;
    state.frameJpeg = read.jpeg;
    state.frameOwn = read.own;
    state.frameMends = std::move(read.mendTrail);
    state.frameFinish = std::move(read.finish);
}

void reportDelivered(const CaptureState& state) {
    if (state.notices == nullptr) return;
    const CameraMode& asked = state.settings.mode;
    const cv::Size size = state.frame.size();
    if (!state.frame.empty() && size != asked.size)
        std::fprintf(state.notices, "camera delivers %dx%d (asked for %dx%d)\n", size.width, size.height,
                     asked.size.width, asked.size.height);
    const double fps = asked.fps > 0 ? state.cap.reported().fps : 0;
    if (fps > 0 && std::abs(fps - asked.fps) > 0.01)
        std::fprintf(state.notices, "camera runs at %g images per second (asked for %g)\n", fps, asked.fps);
    std::fflush(state.notices);
}

void keep(CaptureState& state) {
    if (state.keptImages == nullptr) return;
    finishNow(state);
    if (!state.frame.empty())
        state.keptImages->push_back(withExtras({state.frame.clone(), state.frameMillis, state.frameJpeg},
                                               state.frameOwn.clone(), state.frameMends));
}

}  // namespace

bool setup(CaptureState& state) {
    std::fprintf(state.out, "setup\n");
    if (!state.cap.isOpened()) {
        std::fprintf(state.out, "cannot open camera");
        return false;
    }
    state.cap.configure(state.settings.mode);
    readFrame(state);
    finishNow(state);
    keep(state);
    reportDelivered(state);
    if (state.panorama != nullptr) startupPanorama(*state.panorama, state.frame);
    captureVideoIn(state);
    finishNow(state);
    std::fprintf(state.out, "setup done\n");
    return true;
}

void captureVideoIn(CaptureState& state) {
    readFrame(state);
    if (state.frame.empty()) return;
    keep(state);
    const auto stopTime = static_cast<double>(state.clock.now());
    state.delta_sec = (stopTime - state.startTime) / ProcessorClock::kTicksPerSecond;
    state.startTime = stopTime;
    ++state.framecounter;
}

bool CaptureSource::start() { return setup(state_); }

Frame CaptureSource::next() {
    captureVideoIn(state_);
    return withExtras({state_.frame, state_.frameMillis, state_.frameJpeg}, state_.frameOwn,
                      std::move(state_.frameMends), std::move(state_.frameFinish));
}

namespace {
constexpr float kRingCentre = 0.5f;  // u and v
constexpr float kRingInner = 0.18f, kRingOuter = 0.35f;
}  // namespace

bool useStartupGeometry(PanoramaUnwrapper& unwrapper, int width, int height) {
    unwrapper.unwrapWidth(800);
    unwrapper.originalCentre(kRingCentre, kRingCentre);
    unwrapper.imageRadius(kRingInner, kRingOuter);
    unwrapper.offsetAngle(250);
    unwrapper.originalSize(width, height);
    return unwrapper.generateTransformation();
}

void startupPanorama(StartupPanorama& panorama, cv::Mat& first) {
    panorama.unwrapperBuiltFor = first.size();
    panorama.unwrapperReady = useStartupGeometry(panorama.unwrapper, first.cols, first.rows);
    // A camera that is open but delivers nothing leaves nothing to unwrap.
    if (first.empty()) return;
    cv::Mat* unwrapped = nullptr;
    if (panorama.unwrapper.unwrap(&first, &unwrapped)) panorama.unwrap.reset(unwrapped);
}

cv::Rect startupRingSquare(cv::Size size) {
    if (!PanoramaUnwrapper::ringFits(size.width, size.height, kRingOuter)) return {};
    const int radius = static_cast<int>(std::ceil(static_cast<float>(size.width) * kRingOuter)) + 1;
    const cv::Point centre(static_cast<int>(static_cast<float>(size.width) * kRingCentre),
                           static_cast<int>(static_cast<float>(size.height) * (1 - kRingCentre)));
    return cv::Rect(centre.x - radius, centre.y - radius, 2 * radius + 1, 2 * radius + 1) &
           cv::Rect({}, size);
}
