#pragma once

#include "core/Options.h"

#include <optional>

namespace CLI {
class App;
}

// The sky's quality measured from the images: none unless --sky-quality.
struct QualitySettings {
    bool enabled = false;
    double everySeconds = 60;          // of image time between measurements
    std::optional<double> clearStars;  // the stars of a clear sky, when the owner knows them
    std::optional<double> sqmZero;     // magnitudes added to the sky's brightness, set once against a meter
    std::optional<double> plateScale;  // arcseconds a pixel
    double clearThreshold = 0.7;       // the clear at and above which the sky counts as clear
};

// --sky-quality, --quality-every, --clear-stars, --clear-threshold, --sqm-zero and --plate-scale.
void addQualityOptions(CLI::App& app, QualitySettings& settings, OptionRules& rules);
