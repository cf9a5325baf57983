#include "DeviceAdapters.h"

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>

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

void HighGuiDisplay::show(const std::string& window, const cv::Mat& image) { cv::imshow(window, image); }

int HighGuiDisplay::pollKey(int delayMs) { return cv::waitKeyEx(delayMs); }

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
