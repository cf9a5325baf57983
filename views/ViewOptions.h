#pragma once

#include "core/Options.h"

#include <string>

namespace CLI {
class App;
}

// The windows and the live files.
struct ViewSettings {
    bool headless = false;
    std::string liveFolder;  // none: no live files
};

// The windows' and live files' options.
void addViewOptions(CLI::App& app, ViewSettings& settings, OptionRules& rules);
