#pragma once

#include "core/Options.h"
#include "meteors/MeteorDetector.h"

#include <cstdio>
#include <optional>
#include <string>

namespace CLI {
class App;
}

// Meteors found as the trail grows: none unless --meteors.
struct MeteorSettings {
    bool enabled = false;
    MeteorRules rules;
};

// --meteors, --meteor-margin, --meteor-min-length, --meteor-min-speed and --meteor-max-seconds.
void addMeteorOptions(CLI::App& app, MeteorSettings& settings, OptionRules& rules);

// `trailcam meteors FOLDER`: a night's meteors as CSV.
struct MeteorListSettings {
    bool asked = false;  // the subcommand was given
    std::string folder;
    std::optional<std::string> night;  // none: the latest night in the folder
};

void addMeteorListCommand(CLI::App& app, MeteorListSettings& settings);

// Prints the night's meteors (every file of it, in time order) as CSV on
// out; the exit status (1 when the folder holds no night of meteors).
int runMeteorList(const MeteorListSettings& settings, FILE* out, FILE* err);
