#pragma once

#include "core/Daylight.h"

#include <cstdint>

// The sun's altitude at a place, from libnova, against a limit: day while
// the sun is above it (-6: civil twilight; -12 nautical, -18 astronomical).
// The loop asks at every image: the answer is kept until the next change.
class SunDaylight : public Daylight {
public:
    SunDaylight(double latitude, double longitude, double limitDegrees);
    bool isDay(int64_t unixMillis) const override;
    int64_t nextChange(int64_t unixMillis) const override;
    // The sun's altitude in degrees, without refraction.
    double altitude(int64_t unixMillis) const;

private:
    int64_t searchChange(int64_t unixMillis, bool day) const;

    double latitude_, longitude_, limit_;
    // What isDay found last, and the times it holds for: [from, until),
    // until the change found (0: none within two days).
    mutable int64_t knownFrom_ = 0, knownUntil_ = 0, knownChange_ = 0;
    mutable bool knownDay_ = false;
};
