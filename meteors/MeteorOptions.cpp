#include "meteors/MeteorOptions.h"

#include "meteors/MeteorLog.h"

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

#include <filesystem>
#include <regex>

void addMeteorOptions(CLI::App& app, MeteorSettings& settings, OptionRules& rules) {
    const MeteorRules defaults;
    MeteorRules& r = settings.rules;
    app.add_flag("--meteors", settings.enabled,
                 "find meteors as the trail grows: meteors-DATE.json in the snapshot folder");
    addNumber(app, "--meteor-margin", r.margin,
              cv::format("levels a meteor's pixels rise above the trail (default: %d)", defaults.margin),
              "LEVELS", 1, 255);
    addNumber(app, "--meteor-min-length", r.minLength,
              cv::format("shortest meteor, in pixels (default: %g)", defaults.minLength), "PX", 3, 100000);
    addNumber(app, "--meteor-min-speed", r.minSpeed,
              cv::format("slowest meteor, pixels a second (default: %g)", defaults.minSpeed), "N", 1, 1e6);
    addNumber(app, "--meteor-max-seconds", r.maxSeconds,
              cv::format("longest meteor, seconds (default: %g)", defaults.maxSeconds), "S", 0.1, 60);
    for (const char* option :
         {"--meteor-margin", "--meteor-min-length", "--meteor-min-speed", "--meteor-max-seconds"})
        rules.needs.emplace_back(option, "--meteors");
    rules.cannotGoWith.emplace_back("--record", "--meteors");
}

void addMeteorListCommand(CLI::App& app, MeteorListSettings& settings) {
    CLI::App* list = app.add_subcommand("meteors", "print a night's meteors as CSV");
    list->set_help_flag("-h,--help", "print this help");
    list->add_option("FOLDER", settings.folder, "the snapshot folder")->required()->check(notEmpty);
    list->add_option_function<std::string>(
            "--night", [&settings](const std::string& night) { settings.night = night; },
            "the night (default: the latest in the folder)")
        ->type_name("YYYY-MM-DD")
        ->check([](const std::string& v) {
            return std::regex_match(v, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}"))
                       ? std::string()
                       : std::string("expected YYYY-MM-DD");
        });
    list->callback([&settings] { settings.asked = true; });
}

int runMeteorList(const MeteorListSettings& settings, FILE* out, FILE* err) {
    std::error_code error;
    if (!std::filesystem::is_directory(settings.folder, error)) {
        std::fprintf(err, "trailcam: cannot read %s: %s\n", settings.folder.c_str(),
                     error ? error.message().c_str() : "Not a directory");
        return 1;
    }
    const std::optional<std::string> night =
        settings.night ? settings.night : latestMeteorNight(settings.folder);
    if (!night) {
        std::fprintf(err, "trailcam: no meteors-DATE.json in %s\n", settings.folder.c_str());
        return 1;
    }
    const Result<MeteorNight> read = readMeteorNight(settings.folder, *night);
    if (!read) {
        std::fprintf(err, "trailcam: %s\n", read.reason().c_str());
        return 1;
    }
    // The readable files' meteors, and the others named: status 1 then.
    std::fprintf(out, "%s\n", kMeteorCsvHeader);
    for (const Meteor& meteor : read->meteors)
        std::fprintf(out, "%s\n", meteorCsv(meteor).c_str());
    for (const std::string& reason : read->unreadable)
        std::fprintf(err, "trailcam: %s: its meteors are not listed\n", reason.c_str());
    return read->unreadable.empty() ? 0 : 1;
}
