#pragma once

#include "trail/Devices.h"

#include <opencv2/videoio.hpp>

#include <map>
#include <string>

// A camera read through OpenCV's video capture: a device index ("1"), a
// device path or anything else OpenCV opens by name, such as a stream URL.
class VideoCaptureCamera : public Camera {
public:
    VideoCaptureCamera(cv::VideoCapture& capture, std::string device)
        : capture_(capture), device_(std::move(device)) {}
    bool open();
    bool isOpened() const override;
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& image) override;
    void release() override;
    // Opens the device again and repeats what was asked of it before.
    bool reopen() override;

private:
    cv::VideoCapture& capture_;
    std::string device_;
    std::map<int, double> requested_;
};
