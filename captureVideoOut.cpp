#include "core/EightBits.h"
#include "cvio.h"
#include "snapshots/SnapshotFolder.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <sys/stat.h>

#include <cstdio>

namespace {

constexpr double kMinIntervalSec = 0.1;
constexpr double kDeclaredFps = 10.0;
constexpr int kEsc = 27;
// Room kept free beyond the next image's likely size.
constexpr int64_t kDiskMargin = 1 << 20;

// The recording goes to a name beside the video (the container follows the
// extension) until its first image is in, so a recording that fails before
// that leaves an older video in place.
std::string recordingName(const std::string& videoPath) {
    const auto slash = videoPath.rfind('/');
    const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
    return videoPath.substr(0, nameStart) + "." + videoPath.substr(nameStart) + ".recording.avi";
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

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
    std::fprintf(out, "output size %d, %d\n", width, height);

    // The video is opened at the size of the first image that arrives: a
    // driver may report one size and deliver another.
    const int codec = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    const std::string recording = recordingName(videoPath);
    cv::VideoWriter outVideo;
    cv::Size sz;
    int64_t lastImageBytes = 0;
    int result = 0;

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
        // The video writer takes 8-bit colour images only.
        const cv::Mat image = eightBitColour(state.frame);
        if (!outVideo.isOpened()) {
            sz = image.size();
            try {
                outVideo.open(recording, codec, kDeclaredFps, sz, true);
            } catch (const cv::Exception&) {
                // reported below like any other writer that did not open
            }
            if (!outVideo.isOpened()) {
                std::remove(recording.c_str());
                std::fprintf(out, "error opening output video\n");
                return -1;
            }
        } else if (image.size() != sz) {
            std::fprintf(out, "camera image changed to %dx%d, recording ended\n", image.cols, image.rows);
            result = -1;
            break;
        }
        const auto slash = videoPath.rfind('/');
        const int64_t free = freeBytesFor(slash == std::string::npos ? "." : videoPath.substr(0, slash + 1));
        if (free >= 0 && free < 2 * lastImageBytes + kDiskMargin) {
            std::fprintf(out, "disk nearly full, recording ended\n");
            result = -1;
            break;
        }
        const int64_t before = fileSize(times.rows == 0 ? recording : videoPath);
        try {
            outVideo.write(image);
        } catch (const cv::Exception& e) {
            std::fprintf(out, "cannot write the video (%s), recording ended\n", e.what());
            result = -1;
            break;
        }
        if (times.rows == 0 && std::rename(recording.c_str(), videoPath.c_str()) != 0) {
            std::fprintf(out, "error opening output video\n");
            outVideo.release();
            std::remove(recording.c_str());
            return -1;
        }
        lastImageBytes = std::max<int64_t>(lastImageBytes, fileSize(videoPath) - before);

        double delta_sec = 0;
        do {
            const std::clock_t stop = state.clock.now();
            delta_sec = static_cast<double>(stop - start) / ProcessorClock::kTicksPerSecond;
            const int key = display.pollKey(1);
            if (key > 0) {
                std::fprintf(out, "key=%d\n", key);
                if (key == kEsc) run = false;
            }
            // Ctrl-C, SIGTERM or SIGHUP end the recording as Esc does.
            if (state.stopRequested != nullptr && *state.stopRequested != 0) run = false;
        } while (delta_sec < kMinIntervalSec);
        start = state.clock.now();

        display.show("cap", state.frame);
        std::fprintf(out, "f=%4d  t=%.0f  hz=%2.1f\n", state.framecounter, 1000 * delta_sec, 1 / delta_sec);
        const cv::Mat time(1, 1, CV_64F, cv::Scalar(delta_sec));
        times.push_back(time);
        ++state.framecounter;
    }

    outVideo.release();
    // Nothing recorded: an older video and log stay as they were.
    if (times.rows == 0) {
        std::remove(recording.c_str());
        return result;
    }
    try {
        cv::FileStorage outVideoTimes(logPath, cv::FileStorage::WRITE, "");
        if (outVideoTimes.isOpened()) outVideoTimes << "times" << times;
    } catch (const cv::Exception&) {
        std::fprintf(out, "cannot write the interval log %s\n", logPath.c_str());
    }
    return result;
}
