#pragma once

#include "core/Options.h"
#include "core/Stretch.h"

#include <string>

namespace CLI {
class App;
}

// Where snapshots go, what goes beside them, and when one is written
// besides the countdown's.
struct SnapshotSettings {
    std::string folder = "img";
    double minFreeMb = 0;
    bool panorama = false;              // N-panorama.jpg beside each snapshot, and a window
    bool metadata = false;              // N.json beside each snapshot, EXIF in it
    bool timeMap = false;               // N-time.tiff and N-time.jpg beside each snapshot
    bool saveOnExit = false;            // the trail in progress when the run ends
    bool sixteenBits = false;           // --depth 16: a 16-bit source's trail in 16 bits, N.tiff beside N.jpg
    Stretch stretch = Stretch::linear;  // how a 16-bit trail is shown and pictured
};

// The snapshot folder's options.
void addSnapshotOptions(CLI::App& app, SnapshotSettings& settings, OptionRules& rules);
// The trail's depth and how a 16-bit one is pictured.
void addDepthOptions(CLI::App& app, SnapshotSettings& settings, OptionRules& rules);
// The options that put a snapshot's times beside it.
void addSnapshotTimeOptions(CLI::App& app, SnapshotSettings& settings);
