#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The night an image belongs to: from local noon to local noon, named by the
// date of its evening ("2026-12-07" for the small hours of the 8th).
std::string nightOf(int64_t unixMillis);

// When a night named so begins: local noon of its date (0 for another text).
int64_t nightStart(const std::string& night);

// The local hour of a time, 0 to 23.
int localHour(int64_t unixMillis);

// The first of "BASE.EXT", "BASE-2.EXT", "BASE-3.EXT", ... that is not there.
std::string unusedName(const std::string& base, const std::string& extension);
// The first of "BASE", "BASE-2", ... with none of these extensions there.
std::string unusedBase(const std::string& base, const std::vector<std::string>& extensions);
