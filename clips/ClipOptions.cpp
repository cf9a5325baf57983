#include "clips/ClipOptions.h"

#include "platform/Files.h"

#include <CLI/CLI.hpp>

void addClipOptions(CLI::App& app, ClipSettings& s, OptionRules& rules) {
    const ClipSettings defaults;
    app.add_option("--clips", s.folder, "a video in DIR of the seconds around each event")
        ->type_name("DIR")
        ->check(notEmpty);
    addNumber(app, "--clip-before", s.beforeSeconds,
              cv::format("seconds of a clip before its event (default: %g)", defaults.beforeSeconds), "S", 0,
              60);
    addNumber(app, "--clip-after", s.afterSeconds,
              cv::format("seconds of a clip after its event (default: %g)", defaults.afterSeconds), "S", 0,
              600);
    addNumber(app, "--event-diff", s.eventDiff,
              cv::format("growth in a tick that makes an event (default: %d)", defaults.eventDiff), "N", 0,
              2147483647);
    addNumber(app, "--clip-max", s.maxSeconds,
              cv::format("seconds a clip lasts at most (default: %g)", defaults.maxSeconds), "S", 1, 86400);
    app.add_option_function<double>(
           "--clip-memory",
           [&s](double megabytes) { s.memoryBytes = static_cast<int64_t>(megabytes * 1048576); },
           cv::format("memory for the images waiting for clips (default: %lld)",
                      static_cast<long long>(defaults.memoryBytes >> 20)))
        ->type_name("MB")
        ->check(numberIn(1, 65536));
    rules.cannotGoWith.emplace_back("--record", "--clips");
    for (const char* option :
         {"--clip-before", "--clip-after", "--event-diff", "--clip-memory", "--clip-max"})
        rules.needs.emplace_back(option, "--clips");
}

Result<std::unique_ptr<ClipRecorder>> makeClipRecorder(ClipSettings settings, bool replay, FILE* err) {
    if (settings.folder.empty()) return std::unique_ptr<ClipRecorder>();
    if (const Result<> usable = makeWritableFolder(settings.folder); !usable)
        return Failure{"cannot use the clips folder " + settings.folder + ": " + usable.reason()};
    settings.waitForEncoder = replay;
    return std::make_unique<ClipRecorder>(std::move(settings), err);
}
