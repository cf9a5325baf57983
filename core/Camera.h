#pragma once

#include "core/Frame.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>

// An image size and rate; a rate of 0 asks for none, or is not known.
struct CameraMode {
    cv::Size size;
    double fps = 0;
};

// A long exposure in progress: when it was asked for and the time now (wall
// clock, milliseconds), and how long it takes.
struct Exposure {
    int64_t startedMillis = 0;
    double seconds = 0;
    int64_t nowMillis = 0;
    double secondsLeft() const {
        return std::max(0.0, seconds - static_cast<double>(nowMillis - startedMillis) / 1000);
    }
};

// A source of frames: a camera, the demo sky or a recording replayed.
class Camera {
public:
    virtual ~Camera() = default;
    virtual bool isOpened() const = 0;
    // Asks for a mode; a camera may deliver another.
    virtual void configure(const CameraMode& mode) = 0;
    // What the camera says it delivers.
    virtual CameraMode reported() const = 0;
    // The next image, stamped with the time it was taken; the image is left
    // empty when nothing could be read. A frame whose image is of the size
    // and type the camera delivers is read into that image's own pixels.
    virtual void read(Frame& frame) = 0;
    // Asks the camera to hand over its images as they came, compressed: a
    // JPEG's bytes in a one-row 8-bit image. False when it delivers decoded
    // images (the default).
    virtual bool deliverCompressed() { return false; }
    // A camera that takes exposures of seconds tells `progress`, about once
    // a second while it waits for one, how far it is (from within read).
    virtual void reportExposures(std::function<void(const Exposure&)> /*progress*/) {}
    // The sensor's temperature in degrees Celsius, when the camera tells it.
    virtual std::optional<double> sensorCelsius() const { return std::nullopt; }
    // The exposure (seconds) and gain it works with, when it tells them: a
    // camera in automatic exposure tells none.
    virtual std::optional<double> exposureSeconds() const { return std::nullopt; }
    virtual std::optional<double> gain() const { return std::nullopt; }
    // Lets go of the device, so that it can be unplugged and plugged again.
    virtual void release() {}
    // Opens the device again; false when that is not possible or did not work.
    virtual bool reopen() { return false; }
};
