#pragma once

#include "core/Options.h"

#include <optional>
#include <string>

namespace CLI {
class App;
}

// Images calibrated before they are merged: none unless asked for.
struct CalibrationSettings {
    std::string dark;         // a master dark's file, or a folder of darks; empty: none
    double darkMaxDelta = 5;  // degrees Celsius between a library's dark and the sensor
    std::string hotPixels;    // "auto", a mask's file, or empty: none
    int hotMargin = 40;       // 8-bit levels above the neighbours' median
    int hotLearn = 100;       // images the automatic map is learned from
    std::string makeDark;     // a run that makes a master dark into this file instead
    int darkFrames = 30;
    // What the camera is set to, for picking a library's dark and describing a new one.
    std::optional<double> exposureSeconds, gain;

    bool asked() const { return !dark.empty() || !hotPixels.empty(); }
};

// --dark, --hot-pixels, --make-dark and what goes with them.
void addCalibrationOptions(CLI::App& app, CalibrationSettings& settings, OptionRules& rules);
