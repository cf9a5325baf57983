#include "segments/SegmentOptions.h"

#include "core/Json.h"
#include "platform/Files.h"

#include <CLI/CLI.hpp>

#include <filesystem>

#include <tuple>

void addSegmentOptions(CLI::App& app, SegmentSettings& settings, OptionRules& rules) {
    static const SegmentSettings defaults;
    auto seconds = std::make_shared<std::string>();  // none: 60
    CLI::Option* segments =
        addNumber(app, "--segments", *seconds,
                  "keep the night as segments of S seconds in segments-DATE/ (default: 60)", "[S]", 1, 86400)
            ->expected(0, 1);
    addNumber(app, "--haze-margin", settings.hazeMargin,
              cv::format("levels above the night's background that make a segment hazy (default: %d)",
                         defaults.hazeMargin),
              "LEVELS", 1, 255);
    addNumber(app, "--min-clear", settings.minClear,
              "leave segments less clear than F (0 to 1) out of the star trail as cloudy", "F", 0, 1);
    rules.needs.emplace_back("--haze-margin", "--segments");
    rules.needs.emplace_back("--min-clear", "--segments");
    rules.needs.emplace_back("--min-clear", "--sky-quality");
    rules.cannotGoWith.emplace_back("--record", "--segments");
    rules.checks.emplace_back([seconds] {
        return seconds->empty() || std::stod(*seconds) == static_cast<int>(std::stod(*seconds))
                   ? std::string()
                   : "--segments: expected whole seconds";
    });
    rules.finish.emplace_back([&settings, segments, seconds] {
        if (segments->count() > 0)
            settings.seconds = seconds->empty() ? 60 : static_cast<int>(std::stod(*seconds));
    });
}

std::unique_ptr<SegmentWriter> makeSegmentWriter(const SegmentSettings& settings, const std::string& folder,
                                                 FILE* err, const SkyReadings* quality) {
    if (!settings.seconds) return nullptr;
    return std::make_unique<SegmentWriter>(folder, *settings.seconds, settings.hazeMargin, err, quality,
                                           settings.minClear);
}

void addComposeCommand(CLI::App& app, ComposeSettings& settings, OptionRules& rules) {
    CLI::App* compose = app.add_subcommand("compose", "make a trail from a night's segments folder");
    compose->set_help_flag("-h,--help", "print this help");
    compose->add_option("FOLDER", settings.folder, "a segments-DATE folder")->required()->check(notEmpty);
    compose->add_option("-o,--output", settings.out, "the image: .jpg or .png (default: FOLDER.jpg)")
        ->type_name("OUT")
        ->check([](const std::string& v) {
            const auto ends = [&v](const std::string& e) {
                return v.size() > e.size() && v.compare(v.size() - e.size(), e.size(), e) == 0;
            };
            return ends(".jpg") || ends(".png") ? std::string()
                                                : std::string("expected a name ending in .jpg or .png");
        });
    for (auto [name, bound, help] :
         {std::tuple{"--from", &settings.choice.from, "segments that start at or after TIME (UTC)"},
          std::tuple{"--to", &settings.choice.to, "segments that start before TIME (UTC)"}})
        compose
            ->add_option_function<std::string>(
                name, [bound = bound](const std::string& v) { *bound = parseUtcTime(v); }, help)
            ->type_name("TIME")
            ->check(utcTimeText);
    compose
        ->add_option_function<std::vector<std::string>>(
            "--exclude",
            [&settings](const std::vector<std::string>& ranges) {
                for (const std::string& r : ranges) {
                    const auto slash = r.find('/');
                    settings.choice.excludedRanges.emplace_back(*parseUtcTime(r.substr(0, slash)),
                                                                *parseUtcTime(r.substr(slash + 1)));
                }
            },
            "leave out the segments overlapping FROM/TO (UTC)")
        ->type_name("FROM/TO")
        ->check([](const std::string& r) {
            const auto slash = r.find('/');
            return slash != std::string::npos && parseUtcTime(r.substr(0, slash)) &&
                           parseUtcTime(r.substr(slash + 1))
                       ? std::string()
                       : std::string("expected FROM/TO, two UTC times like 2026-12-07T22:00:00Z");
        });
    compose->add_flag("--all", settings.choice.all, "take the segments marked hazy or left out by hand too");
    addNumber(*compose, "--min-clear", settings.choice.minClear,
              "leave out the segments measured less clear than F (0 to 1)", "F", 0, 1);
    addStretchOption(*compose, settings.stretch,
                     "16-bit segments pictured in a JPEG linear, asinh or none (default: linear)");
    rules.finish.emplace_back([&settings, compose] {
        settings.asked = compose->parsed();
        while (settings.folder.size() > 1 && settings.folder.back() == '/')
            settings.folder.pop_back();
        if (settings.asked && settings.out.empty()) settings.out = settings.folder + ".jpg";
    });
}

int runCompose(const ComposeSettings& settings, FILE* out, FILE* err) {
    const Result<std::vector<SegmentEntry>> entries = readSegmentIndex(settings.folder);
    if (!entries) {
        std::fprintf(err, "trailcam: %s\n", entries.reason().c_str());
        return 1;
    }
    // The composition never takes the place of one of its own segments.
    std::error_code error;
    const std::filesystem::path written = std::filesystem::weakly_canonical(settings.out, error);
    for (const SegmentEntry& entry : *entries)
        if (std::filesystem::weakly_canonical(settings.folder + "/" + entry.file, error) == written) {
            std::fprintf(err, "trailcam: %s is a segment of %s: write the composition elsewhere\n",
                         settings.out.c_str(), settings.folder.c_str());
            return 1;
        }
    const Composed composed = composeSegments(settings.folder, *entries, settings.choice);
    if (composed.image.empty()) {
        std::fprintf(err, "trailcam: %s: no segment to compose\n", settings.folder.c_str());
        return 1;
    }
    if (const Result<> written = writeImageAtomically(settings.out, composed.image, settings.stretch);
        !written) {
        std::fprintf(err, "trailcam: cannot write %s: %s\n", settings.out.c_str(), written.reason().c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", composedLine(composed, settings.out).c_str());
    return 0;
}
