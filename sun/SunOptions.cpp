#include "sun/SunOptions.h"

#include "core/Json.h"
#include "core/Night.h"

#include <CLI/CLI.hpp>

#include <cmath>

namespace {

// "48.2,16.4": a latitude and a longitude in degrees, east positive.
std::optional<std::pair<double, double>> parseLocation(const std::string& text) {
    double latitude = 0, longitude = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%lf,%lf%c", &latitude, &longitude, &end) != 2) return std::nullopt;
    // "nan" and "inf" read as numbers: neither is a place (NaN passes every comparison below).
    if (!std::isfinite(latitude) || !std::isfinite(longitude)) return std::nullopt;
    if (latitude < -90 || latitude > 90 || longitude < -180 || longitude > 180) return std::nullopt;
    return std::pair{latitude, longitude};
}

}  // namespace

void addSunOptions(CLI::App& app, SunSettings& settings, OptionRules& rules) {
    app.add_option_function<std::string>(
           "--location", [&settings](const std::string& text) { settings.location = parseLocation(text); },
           "the station's latitude and longitude in degrees, east positive, e.g. 48.2,16.4")
        ->type_name("LAT,LON")
        ->check([](const std::string& text) {
            return parseLocation(text) ? std::string() : "expected LAT,LON in degrees, e.g. 48.2,16.4";
        });
    // Given without a value: civil twilight.
    app.add_option_function<std::string>(
           "--night-only",
           [&settings](const std::string& degrees) {
               settings.nightOnly = degrees.empty() ? SunSettings::kCivilTwilight : std::stod(degrees);
           },
           "from dusk to dawn: no images while the sun is above DEGREES (-6: civil twilight)")
        ->type_name("[DEGREES]")
        ->expected(0, 1)
        ->check([](const std::string& degrees) { return degrees.empty() ? "" : numberIn(-18, 0)(degrees); });
    app.add_flag("--day-close-camera", settings.closeCamera,
                 "by day let go of the camera; open it again at dusk");
    rules.needs.emplace_back("--night-only", "--location");
    rules.needs.emplace_back("--day-close-camera", "--night-only");
    rules.cannotGoWith.emplace_back("--day-close-camera", "--input");
}

std::unique_ptr<SunDaylight> makeDaylight(const SunSettings& settings) {
    if (!settings.nightOnly || !settings.location) return nullptr;
    return std::make_unique<SunDaylight>(settings.location->first, settings.location->second,
                                         *settings.nightOnly);
}

SkyReport::SkyReport(const Daylight& daylight, double limit, FILE* out)
    : daylight_(daylight), limit_(limit), out_(out) {}

// The daylight keeps its answer until the change: the text is made again
// only when the sky changes.
void SkyReport::ticked(const Tick& tick) {
    const int64_t at = tick.frame.millis;
    const std::pair<bool, int64_t> sky{daylight_.isDay(at), daylight_.nextChange(at)};
    if (sky == told_) return;
    told_ = sky;
    const auto [day, next] = sky;
    const std::string json = std::string("\"sky\":{\"state\":\"") + (day ? "day" : "night") +
                             "\",\"next\":" + (next == 0 ? "null" : "\"" + utcTime(next / 1000) + "\"") + "}";
    const std::lock_guard<std::mutex> lock(mutex_);
    statusJson_ = json;
}

std::string SkyReport::localTime(int64_t millis) const {
    return millis == 0 ? "no change within two days" : localTimeText(millis);
}

void SkyReport::dusk(int64_t millis) {
    std::fprintf(out_, "the sun is below %g degrees: a new trail starts, dawn at %s\n", limit_,
                 localTime(daylight_.nextChange(millis)).c_str());
    std::fflush(out_);
}

void SkyReport::dawn(int64_t millis) {
    std::fprintf(out_, "the sun is above %g degrees: images are left out until dusk at %s\n", limit_,
                 localTime(daylight_.nextChange(millis)).c_str());
    std::fflush(out_);
}

std::string SkyReport::statusJson() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return statusJson_;
}
