#pragma once

#include "budget/BudgetOptions.h"
#include "calibration/CalibrationOptions.h"
#include "camera/CameraOptions.h"
#include "clips/ClipOptions.h"
#include "flashes/FlashOptions.h"
#include "indi/IndiSettings.h"
#include "input/ReplayOptions.h"
#include "meteors/MeteorOptions.h"
#include "mqtt/MqttOptions.h"
#include "products/ProductOptions.h"
#include "quality/QualityOptions.h"
#include "record/RecordOptions.h"
#include "retention/RetentionOptions.h"
#include "segments/SegmentOptions.h"
#include "snapshots/SnapshotOptions.h"
#include "sun/SunOptions.h"
#include "upload/UploadOptions.h"
#include "views/ViewOptions.h"
#include "web/WebOptions.h"

#include <cstdio>
#include <optional>

// What the user asked for on the command line, by who uses it. The defaults
// are the tool's behaviour without options; each feature's settings are its
// own, with their defaults, beside its options hook.
struct Settings {
    CameraSettings camera;
    IndiSettings indi;
    ReplaySettings replay;
    SnapshotSettings snapshots;
    CalibrationSettings calibration;
    QualitySettings quality;
    MeteorSettings meteors;
    FlashSettings flashes;
    SegmentSettings segments;
    ViewSettings views;
    ClipSettings clips;
    ProductSettings products;
    MqttSettings mqtt;
    RetentionPolicy retention;
    SunSettings sun;
    UploadSettings upload;
    WebView::Address web;  // no host: no web view
    RecordSettings record;
    BudgetSettings budget;
    ComposeSettings compose;        // the compose subcommand instead of a run
    MeteorListSettings meteorList;  // the meteors subcommand instead of a run
};

struct CommandLine {
    Settings settings;
    // Set when the run is over already: help, version, or a usage error (2).
    std::optional<int> exitStatus;
};

// Reads the options; help and version go to out, usage errors to err.
CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err);
