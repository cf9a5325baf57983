#include "calibration/CalibrationOptions.h"

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cctype>

void addCalibrationOptions(CLI::App& app, CalibrationSettings& settings, OptionRules& rules) {
    const CalibrationSettings defaults;
    app.add_option("--dark", settings.dark,
                   "a master dark (PNG or TIFF) to subtract, or a folder of darks to pick from")
        ->type_name("FILE|FOLDER")
        ->check(notEmpty);
    addNumber(
        app, "--dark-max-delta", settings.darkMaxDelta,
        cv::format("degrees a library's dark may be from the sensor's (default: %g)", defaults.darkMaxDelta),
        "C", 0, 100);
    app.add_option("--hot-pixels", settings.hotPixels,
                   "fill hot pixels: learned from the images (auto) or marked in a mask (PNG)")
        ->type_name("auto|FILE")
        ->check(notEmpty);
    addNumber(app, "--hot-margin", settings.hotMargin,
              cv::format("8-bit levels above its neighbours that make a pixel hot (default: %d)",
                         defaults.hotMargin),
              "LEVELS", 1, 254);
    addNumber(app, "--hot-learn", settings.hotLearn,
              cv::format("images --hot-pixels auto learns from (default: %d)", defaults.hotLearn), "N", 10,
              10000);
    app.add_option("--make-dark", settings.makeDark,
                   "write the per-pixel median of images taken with the cover on as a dark")
        ->type_name("FILE")
        ->check(notEmpty);
    addNumber(app, "--dark-frames", settings.darkFrames,
              cv::format("images --make-dark takes (default: %d)", defaults.darkFrames), "N", 1, 1000);
    rules.needs.emplace_back("--dark-max-delta", "--dark");
    rules.needs.emplace_back("--hot-margin", "--hot-pixels");
    rules.needs.emplace_back("--hot-learn", "--hot-pixels");
    rules.needs.emplace_back("--dark-frames", "--make-dark");
    for (const char* other : {"--dark", "--hot-pixels", "--record"})
        rules.cannotGoWith.emplace_back("--make-dark", other);
    rules.cannotGoWith.emplace_back("--record", "--dark");
    rules.cannotGoWith.emplace_back("--record", "--hot-pixels");
    rules.checks.emplace_back([&settings] {
        const auto image = [](const std::string& path) {
            std::string lower = path.substr(path.rfind('.') + 1);
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            return path.find('.') != std::string::npos &&
                   (lower == "png" || lower == "tif" || lower == "tiff");
        };
        if (!settings.makeDark.empty() && !image(settings.makeDark))
            return "--make-dark writes a PNG or TIFF file: " + settings.makeDark;
        if (settings.hotPixels != "auto" && !settings.hotPixels.empty() && !image(settings.hotPixels))
            return "--hot-pixels takes auto or a mask as PNG: " + settings.hotPixels;
        return std::string();
    });
}
