#pragma once

#include "core/Options.h"
#include "core/TrailEvents.h"

#include <cstdio>
#include <memory>
#include <optional>

namespace CLI {
class App;
}

// Flashes kept out of the trail: none unless --reject-flashes is given.
struct FlashSettings {
    std::optional<FlashRule> rule;
};

// --reject-flashes and what goes with it.
void addFlashOptions(CLI::App& app, FlashSettings& settings, OptionRules& rules);

// Says each run of images kept out of the trail, once it ends, on err:
// "kept 12 images out of the trail from 2026-12-07T22:13:20.100Z: 41% of the
// picture brighter".
class FlashReport : public TrailListener {
public:
    explicit FlashReport(FILE* err) : err_(err) {}
    void flashRunEnded(const FlashRun& run) override;

private:
    FILE* err_;
};

// The report when flashes are kept out, else none.
std::unique_ptr<FlashReport> makeFlashReport(const FlashSettings& settings, FILE* err);
