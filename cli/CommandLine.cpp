#include "cli/CommandLine.h"

#include "core/BoundedMatch.h"
#include "core/Json.h"
#include "core/Options.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <regex>

#ifndef TRAILCAM_VERSION
#define TRAILCAM_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

// "WxH" with both sides positive and of a size a camera could deliver.
std::string checkSize(const std::string& text) {
    static const std::regex pattern("([1-9][0-9]{0,4})x([1-9][0-9]{0,4})");
    std::smatch match;
    if (!boundedMatch(text, match, pattern) || std::stoi(match[1]) > 16384 || std::stoi(match[2]) > 16384)
        return "expected WIDTHxHEIGHT, for example 1280x720, each side 1 to 16384";
    return "";
}

CommandLine usageError(CommandLine& result, FILE* err, const std::string& what) {
    std::fprintf(err, "trailcam: %s\nTry 'trailcam --help' for more information.\n", what.c_str());
    result.exitStatus = kUsageError;
    return result;
}

// Puts the options added since the last call under a heading of --help.
void group(CLI::App& app, const std::string& heading) {
    for (CLI::Option* option : app.get_options())
        if (option->get_group() == "Options") option->group(heading);
}

// The camera: which, at what size and rate, with which controls; or the demo sky.
void addCameraOptions(CLI::App& app, Settings& s, OptionRules& rules) {
    SourceSettings& source = s.source;
    app.add_option("-d,--device", source.device, "camera: an index, a device path or a stream URL")
        ->type_name("DEV")
        ->capture_default_str()
        ->check(notEmpty);
    app.add_option_function<std::string>(
           "-s,--size",
           [&source](const std::string& size) {
               const auto x = size.find('x');
               source.size = {std::stoi(size.substr(0, x)), std::stoi(size.substr(x + 1))};
           },
           "image size to ask the camera for")
        ->default_str("640x480")
        ->check(checkSize)
        ->type_name("WxH");
    app.add_option("--fps", source.fps, "frame rate to ask the camera for (default: none)")
        ->type_name("N")
        ->check(numberIn(0.1, 1000));
    app.add_flag("--list-devices", s.listDevices, "list the video devices and whether they capture images");
    app.add_flag("--list-controls", source.listControls,
                 "list the camera's controls, their ranges and values");
    auto* autoExposure = app.add_option("--auto-exposure", "the camera's automatic exposure: on or off")
                             ->type_name("on|off")
                             ->check([](const std::string& v) {
                                 return v == "on" || v == "off" ? std::string() : "expected on or off";
                             });
    auto* exposure = app.add_option("--exposure", "exposure time in 100 µs (sets automatic exposure off)")
                         ->type_name("N")
                         ->check(numberIn(1, 1e9));
    auto* gain = app.add_option("--gain", "the camera's gain")->type_name("N")->check(numberIn(0, 1e9));
    auto* controls =
        app.add_option("--control", "set a V4L2 control by its v4l2-ctl name, e.g. brightness=128")
            ->type_name("NAME=N")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check([](const std::string& v) {
                static const std::regex control("[a-z0-9_]+=-?[0-9]{1,18}");
                return boundedMatch(v, control) ? std::string()
                                                : "expected NAME=VALUE, for example brightness=128";
            });
    app.add_flag("--demo", source.demo, "watch a built-in synthetic night sky instead of a camera");
    app.add_option("--demo-speed", source.demoSpeed)->check(numberIn(0.01, 1000))->group("");
    rules.cannotGoWith.insert(
        rules.cannotGoWith.end(),
        {{"--demo", "--device"}, {"--demo", "--list-controls"}, {"--input", "--list-controls"}});
    // Controls belong to a camera: not to the demo sky or a replay.
    for (const char* control : {"--auto-exposure", "--exposure", "--gain", "--control"})
        for (const char* other : {"--demo", "--input"})
            rules.checks.emplace_back([&app, control, other] {
                return app.count(control) > 0 && app.count(other) > 0
                           ? std::string(control) + " cannot go with " + other
                           : std::string();
            });
    rules.checks.emplace_back([autoExposure, exposure] {
        return autoExposure->count() > 0 && autoExposure->as<std::string>() == "on" && exposure->count() > 0
                   ? "--exposure sets automatic exposure off: it cannot go with --auto-exposure on"
                   : "";
    });
    rules.finish.emplace_back([&source, autoExposure, exposure, gain, controls] {
        // Automatic exposure first: an exposure time is refused while it is on.
        const bool automatic = autoExposure->count() > 0 && autoExposure->as<std::string>() == "on";
        if (autoExposure->count() > 0 || exposure->count() > 0)
            source.controls.emplace_back("auto_exposure", automatic ? 3 : 1);
        if (exposure->count() > 0)
            source.controls.emplace_back("exposure_time_absolute", exposure->as<int64_t>());
        if (gain->count() > 0) source.controls.emplace_back("gain", gain->as<int64_t>());
        for (const std::string& control : controls->results()) {
            const auto equals = control.find('=');
            source.controls.emplace_back(control.substr(0, equals), std::stoll(control.substr(equals + 1)));
        }
    });
}

// A recording replayed instead of a camera.
void addReplayOptions(CLI::App& app, Settings& s, OptionRules& rules) {
    SourceSettings& source = s.source;
    app.add_option("-i,--input", source.input,
                   "replay a video, a folder of images or a pattern like f/%05d.jpg")
        ->type_name("PATH")
        ->check(notEmpty);
    app.add_option("--input-fps", source.inputFps, "images per second of a folder or pattern")
        ->capture_default_str()
        ->check(numberIn(0.001, 100000))
        ->type_name("N");
    app.add_option_function<std::string>(
           "--input-start", [&source](const std::string& v) { source.inputStart = parseUtcTime(v); },
           "when the recording began, e.g. 2026-12-07T22:00:00Z (UTC)")
        ->type_name("TIME")
        ->check([](const std::string& v) {
            return parseUtcTime(v) ? std::string()
                                   : std::string("expected a UTC time like 2026-12-07T22:00:00Z");
        });
    app.add_flag("--show", s.views.show, "show the windows while replaying (refreshed at each tick)");
    app.add_option("--threads", source.threads, "decoding threads for a folder (default: one per core)")
        ->check(numberIn(1, 256))
        ->type_name("N");
    rules.cannotGoWith.emplace_back("--record", "--input");
    rules.needs.insert(rules.needs.end(), {{"--show", "--input"}, {"--input-start", "--input"}});
}

// Where snapshots go, what goes beside them, and how the run keeps them.
void addSnapshotOptions(CLI::App& app, Settings& s, OptionRules& rules) {
    app.add_option("-o,--output", s.snapshots.folder, "folder for the snapshots")
        ->capture_default_str()
        ->check(notEmpty)
        ->type_name("DIR");
    app.add_flag("--panorama", s.snapshots.panorama,
                 "also unwrap the 360-degree lens ring: window and N-panorama.jpg");
    app.add_flag("--save-on-exit", s.loop.saveOnExit, "write the trail in progress when the run ends");
    app.add_option("--min-free", s.snapshots.minFreeMb,
                   "skip snapshots while the folder's disk has less free")
        ->type_name("MB")
        ->check(numberIn(0, 1e12));
    rules.cannotGoWith.emplace_back("--record", "--panorama");
}

void addTimeOptions(CLI::App& app, Settings& s) {
    app.add_flag("--metadata", s.snapshots.metadata, "N.json beside each snapshot, its times in its EXIF");
    app.add_flag("--time-map", s.snapshots.timeMap, "N-time.tiff and N-time.jpg: when each pixel last rose");
}

void addStationOptions(CLI::App& app, Settings& s) {
    app.add_option("--reconnect", s.loop.reconnectSeconds,
                   "reopen a lost camera every SECONDS instead of ending")
        ->type_name("SECONDS")
        ->check(numberIn(0.1, 86400));
}

void addViewOptions(CLI::App& app, Settings& s, OptionRules& rules) {
    app.add_flag("--headless", s.views.headless, "open no windows, even where a display exists");
    app.add_option("--live", s.views.liveFolder,
                   "write frame.jpg, trail.jpg and status.json to DIR at each tick")
        ->type_name("DIR")
        ->check(notEmpty);
    rules.cannotGoWith.emplace_back("--record", "--live");
}

void addRecordOptions(CLI::App& app, Settings& s) {
    app.add_flag("--record", s.record.enabled,
                 "record the camera to BASE.avi with intervals in BASE.xml instead");
    app.add_option("--record-to", s.record.base, "names of the recording's two files")
        ->type_name("BASE")
        ->capture_default_str()
        ->check(notEmpty);
}

// The first usage error the rules find, in words; empty when none.
std::string firstBroken(const CLI::App& app, const OptionRules& rules) {
    for (const auto& [option, other] : rules.cannotGoWith)
        if (app.count(option) > 0 && app.count(other) > 0) return option + " cannot go with " + other;
    for (const auto& [option, needed] : rules.needs)
        if (app.count(option) > 0 && app.count(needed) == 0) return option + " needs " + needed;
    for (const auto& check : rules.checks)
        if (std::string broken = check(); !broken.empty()) return broken;
    return "";
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err) {
    CommandLine result;
    Settings& s = result.settings;
    CLI::App app("Keeps the trail of bright objects moving before a camera. Esc, q or Ctrl-C ends it.",
                 "trailcam");
    // Help and version are known to whoever reads this; the screen is for the rest.
    app.set_help_flag("-h,--help", "print this help")->group("");
    app.get_formatter()->column_width(26);
    app.set_version_flag("--version", "trailcam " TRAILCAM_VERSION)->group("");
    // Each feature's options under its heading, in the order a user meets them.
    OptionRules rules;
    addCameraOptions(app, s, rules);
    group(app, "Camera");
    addReplayOptions(app, s, rules);
    group(app, "Replay");
    addSnapshotOptions(app, s, rules);
    group(app, "Snapshots");
    addTimeOptions(app, s);
    addClipOptions(app, s.clips, rules);
    group(app, "Times and clips");
    addProductOptions(app, s.products, rules);
    group(app, "Night products");
    addStationOptions(app, s);
    addRetentionOptions(app, s.retention, rules);
    addMqttOptions(app, s.mqtt, rules);
    group(app, "Station");
    addViewOptions(app, s, rules);
    addWebOptions(app, s.web, rules);
    group(app, "Windows, web and live files");
    addRecordOptions(app, s);
    group(app, "Recording");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), out);
        result.exitStatus = 0;
        return result;
    } catch (const CLI::CallForVersion&) {
        std::fprintf(out, "%s\n", app.version().c_str());
        result.exitStatus = 0;
        return result;
    } catch (const CLI::ParseError& e) {
        return usageError(result, err, e.what());
    }
    if (const std::string broken = firstBroken(app, rules); !broken.empty())
        return usageError(result, err, broken);
    for (const auto& finish : rules.finish)
        finish();
    return result;
}
