#pragma once

#include "clips/ClipRecorder.h"
#include "core/Options.h"
#include "core/Result.h"

#include <cstdio>
#include <memory>

namespace CLI {
class App;
}

// --clips and what goes with it, into the recorder's settings.
void addClipOptions(CLI::App& app, ClipSettings& settings, OptionRules& rules);

// The clip recorder the settings ask for (none without --clips); fails when
// its folder cannot be made or written to. A replay waits for the encoder.
Result<std::unique_ptr<ClipRecorder>> makeClipRecorder(ClipSettings settings, bool replay, FILE* err);
