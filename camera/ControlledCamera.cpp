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
