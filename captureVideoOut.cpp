#include "cvio.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace {
constexpr double kMinIntervalSec = 0.1;
constexpr double kDeclaredFps = 10.0;
constexpr int kEsc = 27;
}  // namespace

int captureVideoOut(CaptureState& state, Display& display, const std::string& videoPath,
                    const std::string& logPath) {
    FILE* out = state.out;
    std::fprintf(out, "captureVideoOut\n");
    if (!state.cap.isOpened()) {
        std::fprintf(out, "error opening camera\n");
        return -1;
    }
    std::fprintf(out, "camera opened\n");
    state.cap.set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
    state.cap.set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
    std::fprintf(out, "video output enabled\n");
    const auto width = static_cast<int>(state.cap.get(cv::CAP_PROP_FRAME_WIDTH));
    const auto height = static_cast<int>(state.cap.get(cv::CAP_PROP_FRAME_HEIGHT));
    const cv::Size sz(width, height);
    std::fprintf(out, "output size %d, %d\n", width, height);

    const int codec = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    cv::VideoWriter outVideo;
    try {
        outVideo.open(videoPath, codec, kDeclaredFps, sz, true);
    } catch (const cv::Exception&) {
        // reported below like any other writer that did not open
    }
    if (!outVideo.isOpened()) {
        std::fprintf(out, "error opening output video\n");
        return -1;
    }
    cv::FileStorage outVideoTimes;
    try {
        outVideoTimes.open(logPath, cv::FileStorage::WRITE, "");
    } catch (const cv::Exception&) {
        // a log that cannot be opened is skipped; the video still records
    }

    cv::Mat times(0, 1, CV_64F);
    std::clock_t start = state.clock.now();
    bool run = true;
    while (run) {
        state.cap.read(state.frame);
        if (state.frame.empty()) {
            // Camera lost: keep what was recorded, including its interval log.
            std::fprintf(out, "camera delivered no image, recording ended\n");
            break;
        }
        outVideo.write(state.frame);

        double delta_sec = 0;
        do {
            const std::clock_t stop = state.clock.now();
            delta_sec = static_cast<double>(stop - start) / ProcessorClock::kTicksPerSecond;
            const int key = display.pollKey(1);
            if (key > 0) {
                std::fprintf(out, "key=%d\n", key);
                if (key == kEsc) run = false;
            }
        } while (delta_sec < kMinIntervalSec);
        start = state.clock.now();

        display.show("cap", state.frame);
        std::fprintf(out, "f=%4d  t=%.0f  hz=%2.1f\n", state.framecounter, 1000 * delta_sec, 1 / delta_sec);
        const cv::Mat time(1, 1, CV_64F, cv::Scalar(delta_sec));
        times.push_back(time);
        ++state.framecounter;
    }

    if (outVideoTimes.isOpened()) {
        outVideoTimes << "times" << times;
        outVideoTimes.release();
    }
    return 0;
}
