#include "input/ReplayOptions.h"

#include "core/Json.h"

#include <CLI/CLI.hpp>

void addReplayOptions(CLI::App& app, ReplaySettings& replay, OptionRules& rules) {
    app.add_option("-i,--input", replay.input,
                   "replay a video, a folder of images or a pattern like f/%05d.jpg")
        ->type_name("PATH")
        ->check(notEmpty);
    app.add_option("--input-fps", replay.inputFps, "images per second of a folder or pattern")
        ->capture_default_str()
        ->check(numberIn(0.001, 100000))
        ->type_name("N");
    app.add_option_function<std::string>(
           "--input-start", [&replay](const std::string& v) { replay.inputStart = parseUtcTime(v); },
           "when the recording began, e.g. 2026-12-07T22:00:00Z (UTC)")
        ->type_name("TIME")
        ->check(utcTimeText);
    app.add_flag("--show", replay.show, "show the windows while replaying (refreshed at each tick)");
    app.add_option("--threads", replay.threads, "decoding threads for a folder (default: one per core)")
        ->check(numberIn(1, 256))
        ->type_name("N");
    rules.cannotGoWith.emplace_back("--record", "--input");
    rules.needs.insert(rules.needs.end(), {{"--show", "--input"}, {"--input-start", "--input"}});
}
