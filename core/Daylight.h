#pragma once

#include <cstdint>

// Whether the sun is up at a place: a station that works from dusk to dawn
// leaves the day's images out.
class Daylight {
public:
    virtual ~Daylight() = default;
    // At a time (Unix milliseconds).
    virtual bool isDay(int64_t unixMillis) const = 0;
    // The first time after unixMillis at which that changes, to the second;
    // 0 when it does not within two days (a polar day or night).
    virtual int64_t nextChange(int64_t unixMillis) const = 0;
};
