#include "platform/DeviceAdapters.h"

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>
#include <sys/time.h>

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

int64_t millis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

bool VideoCaptureCamera::isOpened() const { return capture_.isOpened(); }

bool VideoCaptureCamera::set(int property, double value) { return capture_.set(property, value); }

double VideoCaptureCamera::get(int property) const { return capture_.get(property); }

void VideoCaptureCamera::read(cv::Mat& image) {
    if (!capture_.read(image)) image.release();
}

std::clock_t SystemProcessorClock::now() { return std::clock(); }

int64_t SystemWallClock::millis() { return ::millis(); }

namespace {

// True when OpenCV's window back end can reach a display: Qt, behind Debian's
// highgui, aborts the whole process when it cannot. A Qt platform chosen by
// the user (offscreen, wayland, vnc, ...) is its own business; the default
// one needs an X connection.
bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0) return true;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return connected;
}

}  // namespace

void HighGuiDisplay::show(const std::string& window, const cv::Mat& image) {
    if (windows_ == Windows::unknown) {
        windows_ = displayAvailable() ? Windows::available : Windows::unavailable;
        if (windows_ == Windows::unavailable) {
            std::fprintf(err_, "no display: running without windows (stop with Ctrl-C)\n");
            std::fflush(err_);
        }
    }
    if (windows_ == Windows::available) cv::imshow(window, image);
}

int HighGuiDisplay::pollKey(int delayMs) {
    if (windows_ == Windows::available) return cv::waitKeyEx(delayMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return -1;
}

bool ImageFileWriter::write(const std::string& path, const cv::Mat& image) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string directory = path.substr(0, slash);
        if (mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    try {
        return cv::imwrite(path, image);
    } catch (const cv::Exception&) {
        return false;
    }
}
