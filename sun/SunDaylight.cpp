#include "sun/SunDaylight.h"

#include <libnova/precession.h>
#include <libnova/solar.h>
#include <libnova/transform.h>

namespace {

constexpr int64_t kStepMs = 5 * 60 * 1000;            // no twilight is shorter
constexpr int64_t kHorizonMs = 2 * 24 * 3600 * 1000;  // looked ahead at most
constexpr int64_t kPolarRecheckMs = 3600 * 1000;
constexpr double kUnixEpochJulianDay = 2440587.5;

}  // namespace

SunDaylight::SunDaylight(double latitude, double longitude, double limitDegrees)
    : latitude_(latitude), longitude_(longitude), limit_(limitDegrees) {}

double SunDaylight::altitude(int64_t unixMillis) const {
    const double julianDay = kUnixEpochJulianDay + static_cast<double>(unixMillis) / 86400000.0;
    // libnova gives the sun's place against the equinox of J2000: precessed
    // to the date's (without it, twilight in 2026 came out 1.5 to 2.5 minutes
    // off at 48 degrees north).
    ln_equ_posn sun2000{}, sun{};
    ln_get_solar_equ_coords(julianDay, &sun2000);
    ln_get_equ_prec(&sun2000, julianDay, &sun);
    ln_lnlat_posn observer{longitude_, latitude_};  // east positive
    ln_hrz_posn seen{};
    ln_get_hrz_from_equ(&sun, &observer, julianDay, &seen);
    return seen.alt;
}

// The search runs once per change: the answer holds until the change it found
// (in a polar day or night, for an hour).
bool SunDaylight::isDay(int64_t unixMillis) const {
    if (unixMillis >= knownFrom_ && unixMillis < knownUntil_) return knownDay_;
    knownDay_ = altitude(unixMillis) > limit_;
    knownChange_ = searchChange(unixMillis, knownDay_);
    knownFrom_ = unixMillis;
    knownUntil_ = knownChange_ != 0 ? knownChange_ : unixMillis + kPolarRecheckMs;
    return knownDay_;
}

int64_t SunDaylight::nextChange(int64_t unixMillis) const {
    isDay(unixMillis);
    return knownChange_;
}

// Steps forward until the sun is on the other side of the limit, then halves
// the last step down to a second.
int64_t SunDaylight::searchChange(int64_t unixMillis, bool day) const {
    int64_t before = unixMillis;
    for (int64_t after = unixMillis + kStepMs; after <= unixMillis + kHorizonMs; after += kStepMs) {
        if ((altitude(after) > limit_) == day) {
            before = after;
            continue;
        }
        while (after - before > 1000) {
            const int64_t middle = before + (after - before) / 2;
            ((altitude(middle) > limit_) == day ? before : after) = middle;
        }
        return after;
    }
    return 0;
}
