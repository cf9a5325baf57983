#include "retention/RetentionOptions.h"

#include "platform/Clocks.h"

#include <CLI/CLI.hpp>

void addRetentionOptions(CLI::App& app, RetentionPolicy& policy, OptionRules&) {
    app.add_option_function<double>(
           "--keep-days", [&policy](double days) { policy.keepDays = days; },
           "delete the tool's files in the folders older than N days")
        ->type_name("N")
        ->check(numberIn(0.001, 100000));
    app.add_option_function<std::string>(
           "--max-disk", [&policy](const std::string& size) { policy.maxBytes = Retention::parseSize(size); },
           "delete the oldest while they hold more, e.g. 20G")
        ->type_name("SIZE")
        ->check([](const std::string& v) {
            return Retention::parseSize(v) ? std::string() : "expected bytes, or a size like 500M or 20G";
        });
}

std::unique_ptr<Retention> makeRetention(const RetentionPolicy& policy, const std::string& snapshotFolder,
                                         const std::string& clipsFolder, FILE* err, const FilesInUse* inUse,
                                         const WaitingUploads* waiting) {
    if (!policy.keepDays && !policy.maxBytes) return nullptr;
    auto retention = std::make_unique<Retention>(snapshotFolder, clipsFolder, policy, err, inUse);
    retention->spare(waiting);
    retention->enforce(millis());
    return retention;
}
