#pragma once

#include "core/Options.h"

#include <cstdint>
#include <optional>
#include <string>

namespace CLI {
class App;
}

// A recording replayed instead of a camera.
struct ReplaySettings {
    std::string input;  // none: the camera
    double inputFps = 30;
    std::optional<int64_t> inputStart;  // Unix milliseconds at which the recording began
    int threads = 0;                    // 0: one per core
    bool show = false;                  // windows while replaying
};

// The replay's options.
void addReplayOptions(CLI::App& app, ReplaySettings& settings, OptionRules& rules);
