#pragma once

#include <string>

namespace CLI {
class App;
}

// The recorder, which runs instead of the trail loop.
struct RecordSettings {
    bool enabled = false;
    std::string base = "7";  // BASE.avi and BASE.xml
};

// The recorder's options.
void addRecordOptions(CLI::App& app, RecordSettings& settings);
