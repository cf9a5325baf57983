#include "camera/ControlledCamera.h"

void ControlledCamera::configure(const CameraMode& mode) {
    camera_.configure(mode);
    apply();
}

bool ControlledCamera::reopen() {
    if (!camera_.reopen()) return false;  // which asks for the size and rate again
    apply();
    return true;
}

void ControlledCamera::apply() {
    for (const auto& [name, value] : controls_)
        if (const Result<> set = set_(name, value); !set)
            said_.say("camera control " + name + "=" + std::to_string(value) + " not set: " + set.reason());
}

std::optional<double> ControlledCamera::exposureSeconds() const {
    if (!get_) return std::nullopt;
    // auto_exposure: 1 manual, 2 shutter priority: the exposure is as set; else the camera chooses.
    const std::optional<int64_t> mode = get_("auto_exposure");
    if (mode && *mode != 1 && *mode != 2) return std::nullopt;
    const std::optional<int64_t> hundredsOfMicroseconds = get_("exposure_time_absolute");
    if (!hundredsOfMicroseconds) return std::nullopt;
    return static_cast<double>(*hundredsOfMicroseconds) / 10000;
}

std::optional<double> ControlledCamera::gain() const {
    const std::optional<int64_t> value = get_ ? get_("gain") : std::nullopt;
    return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
}
