#pragma once

#include <cstdint>
#include <string>

// The night an image belongs to: from local noon to local noon, named by the
// date of its evening ("2026-12-07" for the small hours of the 8th).
std::string nightOf(int64_t unixMillis);

// When a night named so begins: local noon of its date (0 for another text).
int64_t nightStart(const std::string& night);

// The local hour of a time, 0 to 23.
int localHour(int64_t unixMillis);
// Its local minute of the day, 0 to 1439.
int localMinuteOfDay(int64_t unixMillis);
// "2026-12-08 05:55", local time.
std::string localTimeText(int64_t unixMillis);
