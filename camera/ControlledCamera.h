#pragma once

#include "core/Camera.h"
#include "core/Result.h"
#include "core/SayOnce.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
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
    using GetControl = std::function<std::optional<int64_t>(const std::string& name)>;
    ControlledCamera(Camera& camera, std::vector<Control> controls, SetControl set, FILE* err,
                     GetControl get = nullptr)
        : camera_(camera),
          controls_(std::move(controls)),
          set_(std::move(set)),
          get_(std::move(get)),
          said_(err) {}

    bool isOpened() const override { return camera_.isOpened(); }
    void configure(const CameraMode& mode) override;
    CameraMode reported() const override { return camera_.reported(); }
    void read(Frame& frame) override { camera_.read(frame); }
    bool deliverCompressed() override { return camera_.deliverCompressed(); }
    void release() override { camera_.release(); }
    bool reopen() override;
    // Read from the device: exposure_time_absolute (in 100 µs) unless the
    // exposure is automatic, and gain.
    std::optional<double> exposureSeconds() const override;
    std::optional<double> gain() const override;

private:
    void apply();
    Camera& camera_;
    std::vector<Control> controls_;
    SetControl set_;
    GetControl get_;
    SayOnce said_;
};
