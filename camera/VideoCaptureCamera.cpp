#include "camera/VideoCaptureCamera.h"

#include "platform/Clocks.h"
#include "platform/Threads.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

namespace {

bool openOn(cv::VideoCapture& capture, const std::string& device) {
    const bool isIndex = !device.empty() && device.find_first_not_of("0123456789") == std::string::npos;
    try {
        return isIndex ? capture.open(std::stoi(device)) : capture.open(device);
    } catch (const std::exception&) {
        return false;
    }
}

struct OpenAttempt {
    cv::VideoCapture capture;
    bool opened = false;
    std::atomic<bool> done{false};
};

// What was written to fd, from its start, up to a bound.
std::string contentsOf(int fd) {
    std::string text(64 * 1024, '\0');
    const ssize_t n = pread(fd, text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

}  // namespace

std::string withoutUserInfo(const std::string& text) {
    std::string result = text;
    for (size_t scheme = result.find("://"); scheme != std::string::npos;
         scheme = result.find("://", scheme + 3)) {
        const size_t start = scheme + 3;
        const size_t end = result.find_first_of("/?# \t\r\n\"'", start);
        const size_t at = result.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
        if (at != std::string::npos && at >= start && (end == std::string::npos || at < end))
            result.erase(start, at + 1 - start);
    }
    return result;
}

bool VideoCaptureCamera::open() { return openWatched(true); }

// OpenCV's back ends write to the standard error themselves, some with the
// whole URL; that is kept aside while opening, and passed on without user
// names and passwords. The open itself runs on a thread of its own, because
// a stream that accepts and never answers holds it for half a minute.
bool VideoCaptureCamera::openWatched(bool tellMessages) {
    const auto attempt = std::make_shared<OpenAttempt>();
    std::fflush(stderr);
    const int console = dup(STDERR_FILENO);
    const int messages = memfd_create("opening", MFD_CLOEXEC);
    if (console >= 0 && messages >= 0) dup2(messages, STDERR_FILENO);
    std::thread([attempt, device = device_] {
        nameThisThread("trailcam-open");
        attempt->opened = openOn(attempt->capture, device);
        attempt->done = true;
    }).detach();
    while (!attempt->done && !(stop_ != nullptr && *stop_ != 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::cerr.flush();
    std::fflush(stderr);
    if (console >= 0 && messages >= 0) dup2(console, STDERR_FILENO);
    if (console >= 0) close(console);
    const std::string said = messages >= 0 && attempt->done && tellMessages ? contentsOf(messages) : "";
    if (messages >= 0) close(messages);
    if (!attempt->done) {
        abandoned_ = true;
        return false;
    }
    if (!said.empty()) {
        std::fputs(withoutUserInfo(said).c_str(), err_);
        std::fflush(err_);
    }
    if (attempt->opened) capture_ = attempt->capture;
    return attempt->opened;
}

bool VideoCaptureCamera::isOpened() const { return capture_.isOpened(); }

void VideoCaptureCamera::configure(const CameraMode& mode) {
    asked_ = mode;
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, mode.size.width);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, mode.size.height);
    if (mode.fps > 0) capture_.set(cv::CAP_PROP_FPS, mode.fps);
}

CameraMode VideoCaptureCamera::reported() const {
    return {{static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_WIDTH)),
             static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_HEIGHT))},
            capture_.get(cv::CAP_PROP_FPS)};
}

void VideoCaptureCamera::read(Frame& frame) {
    try {
        if (capture_.read(frame.image)) {
            frame.millis = millis();
            return;
        }
    } catch (const cv::Exception&) {
        // a device that went away mid-read delivers nothing
    }
    frame.image.release();
}

bool VideoCaptureCamera::deliverCompressed() {
    try {
        if (!capture_.isOpened() || capture_.getBackendName() != "V4L2" ||
            static_cast<int>(capture_.get(cv::CAP_PROP_FOURCC)) !=
                cv::VideoWriter::fourcc('M', 'J', 'P', 'G'))
            return false;
        return capture_.set(cv::CAP_PROP_CONVERT_RGB, 0) && capture_.get(cv::CAP_PROP_CONVERT_RGB) == 0;
    } catch (const cv::Exception&) {
        return false;
    }
}

void VideoCaptureCamera::release() { capture_.release(); }

bool VideoCaptureCamera::reopen() {
    capture_.release();
    if (!openWatched(false)) return false;
    if (asked_) configure(*asked_);
    return true;
}
