#pragma once

#include "core/Options.h"
#include "segments/SegmentIndex.h"
#include "segments/SegmentWriter.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace CLI {
class App;
}

// The night kept as segments: none unless --segments is given.
struct SegmentSettings {
    std::optional<int> seconds;
    int hazeMargin = 10;
    std::optional<double> minClear;  // with --sky-quality: less clear segments left out as cloudy
};

// --segments and what goes with it.
void addSegmentOptions(CLI::App& app, SegmentSettings& settings, OptionRules& rules);

// The segment writer the settings ask for (none without --segments).
std::unique_ptr<SegmentWriter> makeSegmentWriter(const SegmentSettings& settings, const std::string& folder,
                                                 FILE* err, const SkyReadings* quality = nullptr);

// `trailcam compose FOLDER`: a trail from a night's segments.
struct ComposeSettings {
    bool asked = false;  // the subcommand was given
    std::string folder;
    std::string out;  // none: FOLDER.jpg
    ComposeChoice choice;
    Stretch stretch = Stretch::linear;  // a 16-bit composition as a JPEG
};

// The compose subcommand and its options.
void addComposeCommand(CLI::App& app, ComposeSettings& settings, OptionRules& rules);

// Composes as the settings say and prints one line on out; the exit status
// (1 when the folder has no index or the image cannot be written).
int runCompose(const ComposeSettings& settings, FILE* out, FILE* err);
