#include "platform/HighGuiDisplay.h"

#include <opencv2/highgui.hpp>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

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
        if (windows_ == Windows::unavailable)
            said_.say("no display: running without windows (stop with Ctrl-C)");
    }
    if (windows_ == Windows::available) cv::imshow(window, image);
}

void HighGuiDisplay::place(const std::string& window, cv::Point topLeft) {
    if (windows_ == Windows::available) cv::moveWindow(window, topLeft.x, topLeft.y);
}

int HighGuiDisplay::pollKey(int delayMs) {
    if (windows_ == Windows::available) return cv::waitKeyEx(delayMs);
    if (!waitWithoutWindows_) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return -1;
}
