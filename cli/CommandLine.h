#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// What the user asked for on the command line. The defaults are the tool's
// behaviour without options.
struct Settings {
    std::string device = "1";
    cv::Size size{640, 480};
    double fps = 0;  // 0: ask the camera for no particular rate
    bool listDevices = false;
    bool demo = false;
    std::string output = "img";
    bool headless = false;
    bool record = false;
    std::string recordTo = "7";
    bool panorama = false;
    bool saveOnExit = false;
    double reconnectSeconds = 0;  // 0: a lost camera ends the run
    double minFreeMb = 0;
    std::string liveFolder;
    std::string input;  // a recording to replay instead of a camera
    double inputFps = 30;
    bool show = false;
    int threads = 0;                            // 0: one per core
    std::string httpHost;                       // empty: no web view
    int httpPort = 0;                           // 0: any free port
    std::vector<std::string> httpAllowedHosts;  // names the web view answers to besides its address
    double demoSpeed = 1;  // the demo sky faster than real time, on its own clock (for tests)
};

struct CommandLine {
    Settings settings;
    // Set when the run is over already: help, version, or a usage error (2).
    std::optional<int> exitStatus;
};

// Reads the options; help and version go to out, usage errors to err.
CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err);
