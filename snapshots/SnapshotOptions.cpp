#include "snapshots/SnapshotOptions.h"

#include <CLI/CLI.hpp>

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
