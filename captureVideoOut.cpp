#include "core/EightBits.h"
#include "cvio.h"
#include "record/Recording.h"

#include <cstdio>

namespace {

constexpr double kMinIntervalSec = 0.1;
constexpr int kEsc = 27;

}  // namespace

int captureVideoOut(CaptureState& state, Display& display, const std::string& videoPath,
                    const std::string& logPath, const volatile std::sig_atomic_t* stop) {
    FILE* out = state.out;
    std::fprintf(out, "captureVideoOut\n");
    if (!state.cap.isOpened()) {
        std::fprintf(out, "error opening camera\n");
        return -1;
    }
    std::fprintf(out, "camera opened\n");
    state.cap.configure({state.settings.mode.size, 0});
    std::fprintf(out, "video output enabled\n");
    const cv::Size reported = state.cap.reported().size;
    std::fprintf(out, "output size %d, %d\n", reported.width, reported.height);

    Recording recording(videoPath, logPath);
    int result = 0;
    std::clock_t start = state.clock.now();
    bool run = true;
    while (run) {
        Frame read;
        read.image = state.frame;
        state.cap.read(read);
        state.frame = read.image;
        if (state.frame.empty()) {
            // Camera lost: keep what was recorded, including its interval log.
            std::fprintf(out, "camera delivered no image, recording ended\n");
            break;
        }
        // The video writer takes 8-bit colour images only.
        if (const Result<> added = recording.add(eightBitColour(state.frame)); !added) {
            std::fprintf(out, "%s\n", added.reason().c_str());
            result = -1;
            break;
        }

        double delta_sec = 0;
        do {
            const std::clock_t stopTime = state.clock.now();
            delta_sec = static_cast<double>(stopTime - start) / ProcessorClock::kTicksPerSecond;
            const int key = display.pollKey(1);
            if (key > 0) {
                std::fprintf(out, "key=%d\n", key);
                if (key == kEsc) run = false;
            }
            // Ctrl-C, SIGTERM or SIGHUP end the recording as Esc does.
            if (stop != nullptr && *stop != 0) run = false;
        } while (delta_sec < kMinIntervalSec);
        start = state.clock.now();

        display.show("cap", state.frame);
        std::fprintf(out, "f=%4d  t=%.0f  hz=%2.1f\n", state.framecounter, 1000 * delta_sec, 1 / delta_sec);
        recording.addInterval(delta_sec);
        ++state.framecounter;
    }
    if (const Result<> finished = recording.finish(); !finished)
        std::fprintf(out, "%s\n", finished.reason().c_str());
    return result;
}
