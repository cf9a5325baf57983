#include "products/ProductOptions.h"

#include <CLI/CLI.hpp>

void addProductOptions(CLI::App& app, ProductSettings& s, OptionRules& rules) {
    const ProductSettings defaults;
    app.add_flag("--keogram", s.keogram, "the night's keogram-DATE.png in the snapshot folder");
    addNumber(app, "--keogram-every", s.keogramEverySeconds,
              cv::format("seconds between its columns (default: %g)", defaults.keogramEverySeconds), "S", 0.1,
              86400);
    CLI::Option* timelapse =
        app.add_option("--timelapse", s.timelapse, "the night's timelapse-DATE.mkv of frame, trail or both")
            ->type_name("[WHAT]")
            ->expected(0, 1)
            ->check([](const std::string& v) {
                return v == "frame" || v == "trail" || v == "both" ? std::string()
                                                                   : "expected frame, trail or both";
            });
    TimelapseSettings& t = s.timelapseSettings;
    addNumber(app, "--timelapse-every", t.everySeconds,
              cv::format("seconds between its images (default: %g)", defaults.timelapseSettings.everySeconds),
              "S", 1, 86400);
    addNumber(app, "--timelapse-fps", t.fps,
              cv::format("its images per second (default: %d)", defaults.timelapseSettings.fps), "N", 1, 120);
    for (const char* option : {"--keogram", "--timelapse"})
        rules.cannotGoWith.emplace_back("--record", option);
    rules.needs.emplace_back("--keogram-every", "--keogram");
    rules.needs.emplace_back("--timelapse-every", "--timelapse");
    rules.needs.emplace_back("--timelapse-fps", "--timelapse");
    // Given without a value, the timelapse shows the camera image.
    rules.finish.emplace_back([timelapse, &s] {
        if (timelapse->count() > 0 && s.timelapse.empty()) s.timelapse = "frame";
        s.timelapseSettings.shows = s.timelapse == "trail"  ? TimelapseSettings::Shows::trail
                                    : s.timelapse == "both" ? TimelapseSettings::Shows::both
                                                            : TimelapseSettings::Shows::frame;
    });
}

std::unique_ptr<Keogram> makeKeogram(const ProductSettings& settings, const std::string& folder,
                                     Panorama* panorama, FILE* err, FilesInUse* inUse) {
    if (!settings.keogram) return nullptr;
    return std::make_unique<Keogram>(folder, settings.keogramEverySeconds, panorama, err, inUse);
}

std::unique_ptr<Timelapse> makeTimelapse(const ProductSettings& settings, const std::string& folder,
                                         bool replay, FILE* err, FilesInUse* inUse) {
    if (settings.timelapse.empty()) return nullptr;
    TimelapseSettings timelapse = settings.timelapseSettings;
    timelapse.folder = folder;
    timelapse.waitForEncoder = replay;
    return std::make_unique<Timelapse>(timelapse, err, inUse);
}
