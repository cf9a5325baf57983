#include "camera/CameraOptions.h"

#include "core/BoundedMatch.h"

#include <CLI/CLI.hpp>

#include <regex>

namespace {

// "WxH" with both sides positive and of a size a camera could deliver.
std::string checkSize(const std::string& text) {
    static const std::regex pattern("([1-9][0-9]{0,4})x([1-9][0-9]{0,4})");
    std::smatch match;
    if (!boundedMatch(text, match, pattern) || std::stoi(match[1]) > 16384 || std::stoi(match[2]) > 16384)
        return "expected WIDTHxHEIGHT, for example 1280x720, each side 1 to 16384";
    return "";
}

// Controls set on the camera: exposure, gain and any V4L2 control by name.
void addControlOptions(CLI::App& app, CameraSettings& camera, OptionRules& rules) {
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
        app.add_option("--control", "set a V4L2 control, e.g. brightness=128 (INDI: CCD_CONTROLS.Offset=10)")
            ->type_name("NAME=N")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check([&app](const std::string& v) {
                static const std::regex control("[a-z0-9_]+=-?[0-9]{1,18}");
                // An INDI camera's number property, its element when not the first, any number.
                static const std::regex indi(
                    "[A-Za-z0-9_]{1,64}(\\.[A-Za-z0-9_]{1,64})?=-?[0-9]{1,18}(\\.[0-9]{1,9})?");
                if (app.count("--indi") > 0)
                    return boundedMatch(v, indi)
                               ? std::string()
                               : "expected PROPERTY[.ELEMENT]=VALUE, for example CCD_CONTROLS.Offset=10";
                return boundedMatch(v, control) ? std::string()
                                                : "expected NAME=VALUE, for example brightness=128";
            });
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
    rules.finish.emplace_back([&app, &camera, autoExposure, exposure, gain, controls] {
        // Automatic exposure first: an exposure time is refused while it is on.
        if (app.count("--indi") > 0) return;  // the INDI camera's own, set by it
        const bool automatic = autoExposure->count() > 0 && autoExposure->as<std::string>() == "on";
        if (autoExposure->count() > 0 || exposure->count() > 0)
            camera.controls.emplace_back("auto_exposure", automatic ? 3 : 1);
        if (exposure->count() > 0)
            camera.controls.emplace_back("exposure_time_absolute", exposure->as<int64_t>());
        if (gain->count() > 0) camera.controls.emplace_back("gain", gain->as<int64_t>());
        for (const std::string& control : controls->results()) {
            const auto equals = control.find('=');
            camera.controls.emplace_back(control.substr(0, equals), std::stoll(control.substr(equals + 1)));
        }
    });
}

}  // namespace

void addCameraOptions(CLI::App& app, CameraSettings& camera, OptionRules& rules) {
    app.add_option("-d,--device", camera.device, "camera: an index, a device path or a stream URL")
        ->type_name("DEV")
        ->capture_default_str()
        ->check(notEmpty);
    app.add_option_function<std::string>(
           "-s,--size",
           [&camera](const std::string& size) {
               const auto x = size.find('x');
               camera.size = {std::stoi(size.substr(0, x)), std::stoi(size.substr(x + 1))};
           },
           "image size to ask the camera for")
        ->default_str("640x480")
        ->check(checkSize)
        ->type_name("WxH");
    app.add_option("--fps", camera.fps, "frame rate to ask the camera for (default: none)")
        ->type_name("N")
        ->check(numberIn(0.1, 1000));
    app.add_flag("--list-devices", camera.listDevices,
                 "list the video devices and whether they capture images");
    app.add_flag("--list-controls", camera.listControls,
                 "list the camera's controls, their ranges and values");
    addControlOptions(app, camera, rules);
    app.add_flag("--demo", camera.demo, "watch a built-in synthetic night sky instead of a camera");
    app.add_option("--demo-speed", camera.demoSpeed)->check(numberIn(0.01, 1000))->group("");
    rules.cannotGoWith.insert(
        rules.cannotGoWith.end(),
        {{"--demo", "--device"}, {"--demo", "--list-controls"}, {"--input", "--list-controls"}});
}

void addReconnectOption(CLI::App& app, CameraSettings& settings) {
    app.add_option("--reconnect", settings.reconnectSeconds,
                   "reopen a lost camera every SECONDS instead of ending")
        ->type_name("SECONDS")
        ->check(numberIn(0.1, 86400));
}
