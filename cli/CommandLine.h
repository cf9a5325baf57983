#pragma once

#include "clips/ClipOptions.h"
#include "mqtt/MqttOptions.h"
#include "products/ProductOptions.h"
#include "retention/RetentionOptions.h"
#include "web/WebOptions.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the user asked for on the command line, by who uses it. The defaults
// are the tool's behaviour without options; each feature's settings are its
// own, with their defaults, beside its options hook.
struct SourceSettings {
    std::string device = "1";
    cv::Size size{640, 480};
    double fps = 0;  // 0: ask the camera for no particular rate
    bool demo = false;
    double demoSpeed = 1;  // the demo sky faster than real time (for tests)
    std::string input;     // a recording to replay instead of a camera
    double inputFps = 30;
    std::optional<int64_t> inputStart;  // Unix milliseconds at which the recording began
    int threads = 0;                    // 0: one per core
    // V4L2 controls to set, by name, in this order, each time the camera's
    // size and rate are set.
    std::vector<std::pair<std::string, int64_t>> controls;
    bool listControls = false;
};

struct LoopSettings {
    bool saveOnExit = false;
    double reconnectSeconds = 0;  // 0: a lost camera ends the run
};

struct SnapshotSettings {
    std::string folder = "img";
    double minFreeMb = 0;
    bool panorama = false;  // N-panorama.jpg beside each snapshot, and a window
    bool metadata = false;  // N.json beside each snapshot, EXIF in it
    bool timeMap = false;   // N-time.tiff and N-time.jpg beside each snapshot
};

struct ViewSettings {
    bool headless = false;
    bool show = false;  // windows during a replay
    std::string liveFolder;
};

struct RecordSettings {
    bool enabled = false;  // the recorder instead of the trail loop
    std::string base = "7";
};

struct Settings {
    bool listDevices = false;
    SourceSettings source;
    LoopSettings loop;
    SnapshotSettings snapshots;
    ViewSettings views;
    ClipSettings clips;
    ProductSettings products;
    MqttSettings mqtt;
    RetentionPolicy retention;
    WebView::Address web;  // no host: no web view
    RecordSettings record;
};

struct CommandLine {
    Settings settings;
    // Set when the run is over already: help, version, or a usage error (2).
    std::optional<int> exitStatus;
};

// Reads the options; help and version go to out, usage errors to err.
CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err);
