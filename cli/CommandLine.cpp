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

// "[ADDR:]PORT": a port from 0 (any free one) to 65535 and an address
// without spaces.
std::string checkHttp(const std::string& text) {
    static const std::regex pattern("(([^\\s:]+|\\[[0-9a-fA-F:]+\\]):)?([0-9]{1,5})");
    std::smatch match;
    if (!boundedMatch(text, match, pattern) || std::stoi(match[3]) > 65535)
        return "expected [ADDR:]PORT, for example 8080 or 0.0.0.0:8080";
    return "";
}

CommandLine usageError(CommandLine& result, FILE* err, const std::string& what) {
    std::fprintf(err, "trailcam: %s\nTry 'trailcam --help' for more information.\n", what.c_str());
    result.exitStatus = kUsageError;
    return result;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err) {
    CommandLine result;
    Settings& s = result.settings;
    std::string size = "640x480";

    CLI::App app("Keeps the trail of bright objects moving before a camera. Esc, q or Ctrl-C ends it.",
                 "trailcam");
    // Help and version are known to whoever reads this; the screen is for the rest.
    app.set_help_flag("-h,--help", "print this help")->group("");
    app.get_formatter()->column_width(26);
    app.set_version_flag("--version", "trailcam " TRAILCAM_VERSION)->group("");
    app.add_option("-d,--device", s.source.device, "camera: an index, a device path or a stream URL")
        ->type_name("DEV")
        ->capture_default_str()
        ->check(notEmpty);
    app.add_option("-s,--size", size, "image size to ask the camera for")
        ->capture_default_str()
        ->check(checkSize)
        ->type_name("WxH");
    app.add_option("--fps", s.source.fps, "frame rate to ask the camera for (default: none)")
        ->type_name("N")
        ->check(numberIn(0.1, 1000));
    app.add_flag("--list-devices", s.listDevices, "list the video devices and whether they capture images");
    app.add_flag("--list-controls", s.source.listControls,
                 "list the camera's controls, their ranges and values");
    std::string autoExposure;
    int64_t exposure = 0, gain = 0;
    std::vector<std::string> controls;
    app.add_option("--auto-exposure", autoExposure, "the camera's automatic exposure: on or off")
        ->type_name("on|off")
        ->check([](const std::string& v) {
            return v == "on" || v == "off" ? std::string() : "expected on or off";
        });
    app.add_option("--exposure", exposure, "exposure time in 100 µs (sets automatic exposure off)")
        ->type_name("N")
        ->check(numberIn(1, 1e9));
    app.add_option("--gain", gain, "the camera's gain")->type_name("N")->check(numberIn(0, 1e9));
    app.add_option("--control", controls, "set a V4L2 control by its v4l2-ctl name, e.g. brightness=128")
        ->type_name("NAME=N")
        ->check([](const std::string& v) {
            static const std::regex control("[a-z0-9_]+=-?[0-9]{1,18}");
            return boundedMatch(v, control) ? std::string()
                                            : "expected NAME=VALUE, for example brightness=128";
        });
    app.add_option("-i,--input", s.source.input,
                   "replay a video, a folder of images or a pattern like f/%05d.jpg")
        ->type_name("PATH")
        ->check(notEmpty);
    app.add_option("--input-fps", s.source.inputFps, "images per second of a folder or pattern")
        ->capture_default_str()
        ->check(numberIn(0.001, 100000))
        ->type_name("N");
    std::string inputStart;
    app.add_option("--input-start", inputStart, "when the recording began, e.g. 2026-12-07T22:00:00Z (UTC)")
        ->type_name("TIME")
        ->check([](const std::string& v) {
            return parseUtcTime(v) ? std::string()
                                   : std::string("expected a UTC time like 2026-12-07T22:00:00Z");
        });
    app.add_flag("--show", s.views.show, "show the windows while replaying (refreshed at each tick)");
    app.add_option("--threads", s.source.threads, "decoding threads for a folder (default: one per core)")
        ->check(numberIn(1, 256))
        ->type_name("N");
    app.add_flag("--demo", s.source.demo, "watch a built-in synthetic night sky instead of a camera");
    app.add_option("-o,--output", s.snapshots.folder, "folder for the snapshots")
        ->capture_default_str()
        ->check(notEmpty)
        ->type_name("DIR");
    app.add_flag("--headless", s.views.headless, "open no windows, even where a display exists");
    app.add_flag("--record", s.record.enabled,
                 "record the camera to BASE.avi with intervals in BASE.xml instead");
    app.add_option("--record-to", s.record.base, "names of the recording's two files")
        ->type_name("BASE")
        ->capture_default_str()
        ->check(notEmpty);
    app.add_flag("--panorama", s.snapshots.panorama,
                 "also unwrap the 360-degree lens ring: window and N-panorama.jpg");
    app.add_flag("--metadata", s.snapshots.metadata, "N.json beside each snapshot, its times in its EXIF");
    app.add_flag("--time-map", s.snapshots.timeMap, "N-time.tiff and N-time.jpg: when each pixel last rose");
    OptionRules rules;
    addClipOptions(app, s.clips, rules);
    addProductOptions(app, s.products, rules);
    addRetentionOptions(app, s.retention, rules);
    addMqttOptions(app, s.mqtt, rules);
    // An option that takes a plain number within bounds.
    const auto number = [&app](const char* name, auto& value, const char* help, const char* type, double low,
                               double high) {
        return app.add_option(name, value, help)->type_name(type)->check(numberIn(low, high));
    };
    app.add_flag("--save-on-exit", s.loop.saveOnExit, "write the trail in progress when the run ends");
    number("--reconnect", s.loop.reconnectSeconds, "reopen a lost camera every SECONDS instead of ending",
           "SECONDS", 0.1, 86400);
    number("--min-free", s.snapshots.minFreeMb, "skip snapshots while the folder's disk has less free", "MB",
           0, 1e12);
    std::string http;
    app.add_option("--http", http,
                   "serve a web view on [ADDR:]PORT (default address 127.0.0.1; another exposes it)")
        ->check(checkHttp)
        ->type_name("ADDR:PORT");
    app.add_option("--http-host", s.views.httpAllowedHosts,
                   "a host name the web view answers to besides its address")
        ->type_name("NAME")
        ->check(notEmpty);
    app.add_option("--demo-speed", s.source.demoSpeed)->check(numberIn(0.01, 1000))->group("");
    app.add_option("--live", s.views.liveFolder,
                   "write frame.jpg, trail.jpg and status.json to DIR at each tick")
        ->type_name("DIR")
        ->check(notEmpty);

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
    // The recorder runs instead of the trail loop, a replay instead of a
    // camera: what belongs to the other cannot go with them.
    const std::vector<std::pair<std::string, std::string>> recorder{
        {"--record", "--input"}, {"--record", "--http"}, {"--record", "--live"}, {"--record", "--panorama"}};
    rules.cannotGoWith.insert(rules.cannotGoWith.begin(), recorder.begin(), recorder.end());
    rules.cannotGoWith.insert(
        rules.cannotGoWith.end(),
        {{"--demo", "--device"}, {"--demo", "--list-controls"}, {"--input", "--list-controls"}});
    const std::vector<std::pair<std::string, std::string>> needs{
        {"--show", "--input"}, {"--input-start", "--input"}, {"--http-host", "--http"}};
    rules.needs.insert(rules.needs.begin(), needs.begin(), needs.end());
    for (const auto& [option, other] : rules.cannotGoWith)
        if (app.count(option) > 0 && app.count(other) > 0)
            return usageError(result, err, option + " cannot go with " + other);
    for (const auto& [option, needed] : rules.needs)
        if (app.count(option) > 0 && app.count(needed) == 0)
            return usageError(result, err, option + " needs " + needed);
    for (const auto& finish : rules.finish)
        finish();
    if (!http.empty()) {
        const auto colon = http.rfind(':');
        s.views.httpHost = colon == std::string::npos ? "127.0.0.1" : http.substr(0, colon);
        if (s.views.httpHost.front() == '[')
            s.views.httpHost = s.views.httpHost.substr(1, s.views.httpHost.size() - 2);
        s.views.httpPort = std::stoi(colon == std::string::npos ? http : http.substr(colon + 1));
    }
    // Controls belong to a camera: not to the demo sky or a replay.
    for (const char* control : {"--auto-exposure", "--exposure", "--gain", "--control"})
        for (const char* other : {"--demo", "--input"})
            if (app.count(control) > 0 && app.count(other) > 0)
                return usageError(result, err, std::string(control) + " cannot go with " + other);
    if (autoExposure == "on" && app.count("--exposure") > 0)
        return usageError(result, err,
                          "--exposure sets automatic exposure off: it cannot go with --auto-exposure on");
    // Automatic exposure first: an exposure time is refused while it is on.
    if (!autoExposure.empty() || app.count("--exposure") > 0)
        s.source.controls.emplace_back("auto_exposure", autoExposure == "on" ? 3 : 1);
    if (app.count("--exposure") > 0) s.source.controls.emplace_back("exposure_time_absolute", exposure);
    if (app.count("--gain") > 0) s.source.controls.emplace_back("gain", gain);
    for (const std::string& control : controls) {
        const auto equals = control.find('=');
        s.source.controls.emplace_back(control.substr(0, equals), std::stoll(control.substr(equals + 1)));
    }
    if (!inputStart.empty()) s.source.inputStart = parseUtcTime(inputStart);
    const auto x = size.find('x');
    s.source.size = {std::stoi(size.substr(0, x)), std::stoi(size.substr(x + 1))};
    return result;
}
