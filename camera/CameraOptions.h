#pragma once

#include "core/Options.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

// The camera to watch: which, at what size and rate, with which controls;
// or the demo sky.
struct CameraSettings {
    std::string device = "1";
    cv::Size size{640, 480};
    double fps = 0;  // 0: ask the camera for no particular rate
    bool demo = false;
    double demoSpeed = 1;  // the demo sky faster than real time (for tests)
    // V4L2 controls to set, by name, in this order, each time the camera's
    // size and rate are set.
    std::vector<std::pair<std::string, int64_t>> controls;
    bool listDevices = false;
    bool listControls = false;
    double reconnectSeconds = 0;  // 0: a lost camera ends the run
};

// The camera's options.
void addCameraOptions(CLI::App& app, CameraSettings& settings, OptionRules& rules);
// --reconnect, which a station wants.
void addReconnectOption(CLI::App& app, CameraSettings& settings);
