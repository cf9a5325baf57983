#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the user asked for on the command line, by who uses it. The defaults
// are the tool's behaviour without options.
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
    bool panorama = false;            // N-panorama.jpg beside each snapshot, and a window
    bool metadata = false;            // N.json beside each snapshot, EXIF in it
    bool timeMap = false;             // N-time.tiff and N-time.jpg beside each snapshot
    std::optional<double> keepDays;   // retention: delete the tool's files older than this
    std::optional<int64_t> maxBytes;  // retention: delete the oldest while they hold more
};

struct ViewSettings {
    bool headless = false;
    bool show = false;  // windows during a replay
    std::string liveFolder;
    std::string httpHost;                       // empty: no web view
    int httpPort = 0;                           // 0: any free port
    std::vector<std::string> httpAllowedHosts;  // names the web view answers to besides its address
};

struct ClipOptions {
    std::string folder;  // empty: no clips
    double beforeSeconds = 3;
    double afterSeconds = 5;
    int32_t eventDiff = 2000;
    double memoryMb = 64;
    double maxSeconds = 60;
};

struct ProductOptions {
    bool keogram = false;
    double keogramEverySeconds = 30;
    std::string timelapse;  // empty: none; else "frame", "trail" or "both"
    double timelapseEverySeconds = 10;
    int timelapseFps = 30;
};

struct MqttOptions {
    std::string url;  // empty: no MQTT
    std::string user;
    std::string passwordFile;  // else $TRAILCAM_MQTT_PASSWORD
    std::string station;       // empty: the host name
    double everySeconds = 10;
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
    ClipOptions clips;
    ProductOptions products;
    MqttOptions mqtt;
    RecordSettings record;
};

struct CommandLine {
    Settings settings;
    // Set when the run is over already: help, version, or a usage error (2).
    std::optional<int> exitStatus;
};

// Reads the options; help and version go to out, usage errors to err.
CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err);
