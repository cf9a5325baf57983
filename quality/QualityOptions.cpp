#include "quality/QualityOptions.h"

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

void addQualityOptions(CLI::App& app, QualitySettings& settings, OptionRules& rules) {
    const QualitySettings defaults;
    app.add_flag("--sky-quality", settings.enabled,
                 "measure the sky from the images: stars, background, clear sky, seeing");
    addNumber(app, "--quality-every", settings.everySeconds,
              cv::format("seconds of image time between measurements (default: %g)", defaults.everySeconds),
              "S", 1, 3600);
    addNumber(app, "--clear-stars", settings.clearStars,
              "stars of a clear sky for this camera (default: the night's 90th percentile)", "N", 1, 1e6);
    addNumber(
        app, "--clear-threshold", settings.clearThreshold,
        cv::format("the clear sky at and above which MQTT says clear (default: %g)", defaults.clearThreshold),
        "F", 0, 1);
    addNumber(app, "--sqm-zero", settings.sqmZero,
              "zero point of the sky's brightness, set against an SQM meter", "M", -100, 100);
    addNumber(app, "--plate-scale", settings.plateScale, "arcseconds a pixel, for the sky's brightness",
              "ARCSEC", 0.001, 100000);
    for (const char* option :
         {"--quality-every", "--clear-stars", "--clear-threshold", "--sqm-zero", "--plate-scale"})
        rules.needs.emplace_back(option, "--sky-quality");
    rules.needs.emplace_back("--sqm-zero", "--plate-scale");
    rules.needs.emplace_back("--plate-scale", "--sqm-zero");
    rules.cannotGoWith.emplace_back("--record", "--sky-quality");
}
