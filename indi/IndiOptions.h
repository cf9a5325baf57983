#pragma once

#include "core/Options.h"
#include "indi/IndiSettings.h"

namespace CLI {
class App;
}

// The INDI camera's options.
void addIndiOptions(CLI::App& app, IndiSettings& settings, OptionRules& rules);
