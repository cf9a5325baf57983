#pragma once

#include "core/Camera.h"
#include "core/Result.h"
#include "core/SayOnce.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// A camera whose controls (exposure, gain, white balance, ...) are set, in
// the order given, each time its size and rate are: at start-up and again
// after a reconnect. A control the camera refuses or does not have is said
// on err, once for each reason, and the run goes on.
class ControlledCamera : public Camera {
public:
    using Control = std::pair<std::string, int64_t>;  // a V4L2 control's name and value
    using SetControl = std::function<Result<>(const std::string& name, int64_t value)>;
    ControlledCamera(Camera& camera, std::vector<Control> controls, SetControl set, FILE* err)
        : camera_(camera), controls_(std::move(controls)), set_(std::move(set)), said_(err) {}

    bool isOpened() const override { return camera_.isOpened(); }
    void configure(const CameraMode& mode) override;
    CameraMode reported() const override { return camera_.reported(); }
    void read(Frame& frame) override { camera_.read(frame); }
    bool deliverCompressed() override { return camera_.deliverCompressed(); }
    void release() override { camera_.release(); }
    bool reopen() override;

private:
    void apply();
    Camera& camera_;
    std::vector<Control> controls_;
    SetControl set_;
    SayOnce said_;
};
