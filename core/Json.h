#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A JSON string literal of text.
std::string jsonString(const std::string& text);

// "2026-12-07T18:00:00Z"
std::string utcTime(int64_t unixSeconds);

// "2026-12-07T18:00:00.250Z"
std::string utcTimeMillis(int64_t unixMillis);

// Unix milliseconds of "2026-12-07T18:00:00Z" or "2026-12-07T18:00:00.250Z";
// none when the text is not such a time.
std::optional<int64_t> parseUtcTime(const std::string& text);
