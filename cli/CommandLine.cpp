#include "cli/CommandLine.h"

#if TRAILCAM_HAS_INDI
#include "indi/IndiOptions.h"
#endif

#include "core/Options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iterator>

#ifndef TRAILCAM_VERSION
#define TRAILCAM_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

CommandLine usageError(CommandLine& result, FILE* err, const std::string& what) {
    std::fprintf(err, "trailcam: %s\nTry 'trailcam --help' for more information.\n", what.c_str());
    result.exitStatus = kUsageError;
    return result;
}

// What --help shows a newcomer: the camera, the trail, where files go, and
// each feature's switch; --help-all (and the manual) shows every option.
const char* const kBrief[] = {
    "--device",      "--size",         "--list-devices", "--demo",       "--indi",      "--input",
    "--output",      "--save-on-exit", "--dark",         "--hot-pixels", "--make-dark", "--reject-flashes",
    "--segments",    "--metadata",     "--time-map",     "--clips",      "--keogram",   "--timelapse",
    "--sky-quality", "--meteors",      "--reconnect",    "--keep-days",  "--location",  "--night-only",
    "--upload",      "--mqtt",         "--headless",     "--live",       "--http",      "--record",
    "--budget"};

// Hides from the help the options a newcomer does not need first.
void keepBrief(CLI::App& app) {
    for (CLI::Option* option : app.get_options()) {
        const std::vector<std::string>& names = option->get_lnames();
        const bool brief = std::any_of(std::begin(kBrief), std::end(kBrief), [&names](const char* name) {
            return !names.empty() && names.front() == std::string(name).substr(2);
        });
        if (!brief) option->group("");
    }
    app.footer("Every option, under its feature's heading: trailcam --help-all (and man trailcam).");
}

// Puts the options added since the last call under a heading of --help.
void group(CLI::App& app, const std::string& heading) {
    for (CLI::Option* option : app.get_options())
        if (option->get_group() == "Options") option->group(heading);
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

// What the camera is set to, as a dark library picks its darks and a new
// dark's sidecar says: INDI's seconds and CCD_GAIN, or V4L2's exposure
// (in 100 µs) and gain; unknown where the camera chooses.
void describeCameraForDarks(Settings& s) {
    CalibrationSettings& c = s.calibration;
    if (s.indi.enabled) {
        c.exposureSeconds = s.indi.exposureSeconds;
        for (const auto& [name, value] : s.indi.numbers)
            if (name == "CCD_GAIN" || name == "CCD_GAIN.GAIN") c.gain = value;
        return;
    }
    for (const auto& [name, value] : s.camera.controls) {
        if (name == "exposure_time_absolute") c.exposureSeconds = static_cast<double>(value) / 10000;
        if (name == "gain") c.gain = static_cast<double>(value);
    }
}

// Each feature's options under its heading, in the order a user meets them.
void addFeatureOptions(CLI::App& app, Settings& s, OptionRules& rules) {
    addCameraOptions(app, s.camera, rules);
#if TRAILCAM_HAS_INDI
    addIndiOptions(app, s.indi, rules);
#endif
    group(app, "Camera");
    addReplayOptions(app, s.replay, rules);
    group(app, "Replay");
    addSnapshotOptions(app, s.snapshots, rules);
    addDepthOptions(app, s.snapshots, rules);
    group(app, "Snapshots");
    addCalibrationOptions(app, s.calibration, rules);
    group(app, "Calibration");
    addFlashOptions(app, s.flashes, rules);
    addSegmentOptions(app, s.segments, rules);
    group(app, "Flashes and segments");
    addSnapshotTimeOptions(app, s.snapshots);
    addClipOptions(app, s.clips, rules);
    group(app, "Times and clips");
    addProductOptions(app, s.products, rules);
    group(app, "Night products");
    addQualityOptions(app, s.quality, rules);
    addMeteorOptions(app, s.meteors, rules);
    group(app, "Sky quality and meteors");
    addReconnectOption(app, s.camera);
    addRetentionOptions(app, s.retention, rules);
    addSunOptions(app, s.sun, rules);
    addUploadOptions(app, s.upload, rules);
#if TRAILCAM_HAS_MQTT
    addMqttOptions(app, s.mqtt, rules);
#endif
    group(app, "Station");
    addViewOptions(app, s.views, rules);
#if TRAILCAM_HAS_WEB
    addWebOptions(app, s.web, rules);
#endif
    group(app, "Windows, web and live files");
    addRecordOptions(app, s.record);
    group(app, "Recording");
    addBudgetOptions(app, s.budget);
    group(app, "Diagnostics");
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[], FILE* out, FILE* err) {
    CommandLine result;
    Settings& s = result.settings;
    CLI::App app("Keeps the trail of bright objects moving before a camera. Esc, q or Ctrl-C ends it.",
                 "trailcam");
    // Help and version are known to whoever reads this; the screen is for the rest.
    app.set_help_flag("-h,--help", "print this help")->group("");
    app.set_help_all_flag("--help-all", "print every option")->group("");
    app.get_formatter()->column_width(26);
    app.set_version_flag("--version", "trailcam " TRAILCAM_VERSION)->group("");
    OptionRules rules;
    addFeatureOptions(app, s, rules);
    addComposeCommand(app, s.compose, rules);
    addMeteorListCommand(app, s.meteorList);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // A subcommand's own help when it is asked of one ("trailcam compose --help").
        const std::vector<CLI::App*> asked = app.get_subcommands();
        if (asked.empty()) keepBrief(app);
        std::fputs((asked.empty() ? app.help() : asked.front()->help()).c_str(), out);
        result.exitStatus = 0;
        return result;
    } catch (const CLI::CallForAllHelp&) {
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
    describeCameraForDarks(s);
    return result;
}
