#pragma once

#include "core/Result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A control of a V4L2 device as the kernel describes it, under the name
// v4l2-ctl prints ("white_balance_automatic" for "White Balance, Automatic").
struct V4l2Control {
    std::string name;
    std::string type;  // "int", "bool", "menu", "int64", "button", ...
    int64_t minimum, maximum, step, defaultValue, value;
    std::vector<std::pair<int64_t, std::string>> menu;  // of a menu control
};

// The controls of a device node (VIDIOC_QUERY_EXT_CTRL, VIDIOC_G_EXT_CTRLS).
Result<std::vector<V4l2Control>> listV4l2Controls(const std::string& devicePath);

// One line per control: name, type, range and step, default, current value, menu.
std::string describeV4l2Controls(const std::vector<V4l2Control>& controls);

// A control's value by its name; none when the device has no such control.
std::optional<int64_t> getV4l2Control(const std::string& devicePath, const std::string& name);

// Sets a control by its name (VIDIOC_S_EXT_CTRLS); fails with the kernel's reason.
Result<> setV4l2Control(const std::string& devicePath, const std::string& name, int64_t value);

// "White Balance, Automatic" as v4l2-ctl names it: "white_balance_automatic".
std::string v4l2ControlName(const std::string& label);

// The device node of a camera given as an index ("1" is /dev/video1) or a
// path; empty for anything else (a stream URL).
std::string v4l2DevicePath(const std::string& device);
