#pragma once

#include "core/Options.h"
#include "core/TrailEvents.h"
#include "sun/SunDaylight.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace CLI {
class App;
}

// Working from dusk to dawn by the sun: none unless --night-only is given.
struct SunSettings {
    std::optional<std::pair<double, double>> location;  // latitude, longitude in degrees (east positive)
    std::optional<double> nightOnly;                    // the sun's altitude below which it is night
    bool closeCamera = false;                           // by day
    static constexpr double kCivilTwilight = -6;
};

// --location and --night-only.
void addSunOptions(CLI::App& app, SunSettings& settings, OptionRules& rules);

// Says, at dusk and dawn and when a run starts by day, what happens to the
// images; and gives status.json its "sky" member: day or night, and when
// that changes next.
class SkyReport : public TrailListener {
public:
    SkyReport(const Daylight& daylight, double limit, FILE* out);
    void ticked(const Tick& tick) override;
    void dusk(int64_t millis) override;
    void dawn(int64_t millis) override;
    // "\"sky\":{\"state\":\"night\",\"next\":\"2026-12-08T05:59:12Z\"}", as of the
    // latest tick; from any thread.
    std::string statusJson() const;

private:
    std::string localTime(int64_t millis) const;

    const Daylight& daylight_;
    double limit_;
    FILE* out_;
    std::optional<std::pair<bool, int64_t>> told_;  // loop thread: day, and the next change
    mutable std::mutex mutex_;
    std::string statusJson_ = "\"sky\":null";  // under mutex_
};

// The daylight the settings ask for (none without --night-only).
std::unique_ptr<SunDaylight> makeDaylight(const SunSettings& settings);
