#pragma once

#include "core/FilesInUse.h"
#include "core/Options.h"
#include "core/Shelves.h"
#include "products/Keogram.h"
#include "products/Timelapse.h"

#include <cstdio>
#include <memory>
#include <string>

namespace CLI {
class App;
}

// The night products the user asked for.
struct ProductSettings {
    bool keogram = false;
    double keogramEverySeconds = 30;
    std::string timelapse;                // empty: none; else "frame", "trail" or "both"
    TimelapseSettings timelapseSettings;  // its rate and spacing
};

// --keogram, --timelapse and what goes with them.
void addProductOptions(CLI::App& app, ProductSettings& settings, OptionRules& rules);

// The products, in the snapshot folder; each none when not asked for.
std::unique_ptr<Keogram> makeKeogram(const ProductSettings& settings, const std::string& folder,
                                     Panorama* panorama, FILE* err, FilesInUse* inUse);
std::unique_ptr<Timelapse> makeTimelapse(const ProductSettings& settings, const std::string& folder,
                                         bool replay, FILE* err, FilesInUse* inUse);
