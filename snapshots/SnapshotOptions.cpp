#include "snapshots/SnapshotOptions.h"

#include <CLI/CLI.hpp>

#include <map>

void addSnapshotOptions(CLI::App& app, SnapshotSettings& snapshots, OptionRules& rules) {
    app.add_option("-o,--output", snapshots.folder, "folder for the snapshots")
        ->capture_default_str()
        ->check(notEmpty)
        ->type_name("DIR");
    app.add_flag("--panorama", snapshots.panorama,
                 "also unwrap the 360-degree lens ring: window and N-panorama.jpg");
    app.add_flag("--save-on-exit", snapshots.saveOnExit, "write the trail in progress when the run ends");
    app.add_option("--min-free", snapshots.minFreeMb, "skip snapshots while the folder's disk has less free")
        ->type_name("MB")
        ->check(numberIn(0, 1e12));
    rules.cannotGoWith.emplace_back("--record", "--panorama");
}

void addSnapshotTimeOptions(CLI::App& app, SnapshotSettings& snapshots) {
    app.add_flag("--metadata", snapshots.metadata, "N.json beside each snapshot, its times in its EXIF");
    app.add_flag("--time-map", snapshots.timeMap, "N-time.tiff and N-time.jpg: when each pixel last rose");
}

void addDepthOptions(CLI::App& app, SnapshotSettings& snapshots, OptionRules& rules) {
    app.add_option_function<std::string>(
           "--depth", [&snapshots](const std::string& depth) { snapshots.sixteenBits = depth == "16"; },
           "16: a 16-bit camera's trail in 16 bits, N.tiff beside N.jpg (default: 8)")
        ->type_name("8|16")
        ->check(
            [](const std::string& v) { return v == "8" || v == "16" ? std::string() : "expected 8 or 16"; });
    addStretchOption(app, snapshots.stretch,
                     "a 16-bit trail pictured linear, asinh or none (default: linear)");
    rules.checks.emplace_back([&app] {
        return app.count("--stretch") > 0 &&
                       !(app.count("--depth") > 0 && app["--depth"]->as<std::string>() == "16")
                   ? std::string("--stretch needs --depth 16")
                   : std::string();
    });
    // The recorder's video is 8-bit, as the camera's own images are recorded.
    rules.checks.emplace_back([&app] {
        return app.count("--depth") > 0 && app["--depth"]->as<std::string>() == "16" &&
                       app.count("--record") > 0
                   ? std::string("--depth 16 cannot go with --record: the recording is 8-bit")
                   : std::string();
    });
}
