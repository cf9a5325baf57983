#include "flashes/FlashOptions.h"

#include "core/Json.h"

#include <CLI/CLI.hpp>

#include <cmath>

void addFlashOptions(CLI::App& app, FlashSettings& settings, OptionRules& rules) {
    static const FlashRule defaults;
    auto percent = std::make_shared<std::string>();  // none: the default
    auto margin = std::make_shared<int>(defaults.margin);
    auto maxSeconds = std::make_shared<double>(defaults.maxSeconds);
    CLI::Option* reject =
        addNumber(app, "--reject-flashes", *percent,
                  cv::format("keep out an image that brightens over P %% of the trail (default: %g)",
                             defaults.percent),
                  "[P]", 0.001, 100)
            ->expected(0, 1);
    addNumber(app, "--flash-margin", *margin,
              cv::format("levels above the trail that count as brighter (default: %d)", defaults.margin),
              "LEVELS", 1, 254);
    addNumber(
        app, "--flash-max", *maxSeconds,
        cv::format("seconds kept out before the scene counts as changed (default: %g)", defaults.maxSeconds),
        "S", 0.001, 86400);
    rules.needs.emplace_back("--flash-margin", "--reject-flashes");
    rules.needs.emplace_back("--flash-max", "--reject-flashes");
    rules.cannotGoWith.emplace_back("--record", "--reject-flashes");
    rules.finish.emplace_back([&settings, reject, percent, margin, maxSeconds] {
        if (reject->count() > 0)
            settings.rule =
                FlashRule{percent->empty() ? defaults.percent : std::stod(*percent), *margin, *maxSeconds};
    });
}

void FlashReport::flashRunEnded(const FlashRun& run) {
    std::fprintf(err_, "kept %d image%s out of the trail from %s: %.0f%% of the picture brighter\n",
                 run.images, run.images == 1 ? "" : "s", utcTimeMillis(run.firstMillis).c_str(),
                 std::floor(run.share * 100));
    std::fflush(err_);
}

std::unique_ptr<FlashReport> makeFlashReport(const FlashSettings& settings, FILE* err) {
    if (!settings.rule) return nullptr;
    return std::make_unique<FlashReport>(err);
}
