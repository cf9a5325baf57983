#include "camera/VideoCaptureCamera.h"

bool VideoCaptureCamera::open() {
    const bool isIndex = !device_.empty() && device_.find_first_not_of("0123456789") == std::string::npos;
    try {
        return isIndex ? capture_.open(std::stoi(device_)) : capture_.open(device_);
    } catch (const std::exception&) {
        return false;
    }
}

bool VideoCaptureCamera::isOpened() const { return capture_.isOpened(); }

bool VideoCaptureCamera::set(int property, double value) {
    requested_[property] = value;
    return capture_.set(property, value);
}

double VideoCaptureCamera::get(int property) const { return capture_.get(property); }

void VideoCaptureCamera::read(cv::Mat& image) {
    try {
        if (capture_.read(image)) return;
    } catch (const cv::Exception&) {
        // a device that went away mid-read delivers nothing
    }
    image.release();
}

void VideoCaptureCamera::release() { capture_.release(); }

bool VideoCaptureCamera::reopen() {
    capture_.release();
    if (!open()) return false;
    for (const auto& [property, value] : requested_)
        capture_.set(property, value);
    return true;
}
