#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// A JSON string literal of text, valid UTF-8 whatever the bytes.
std::string jsonString(const std::string& text);

// The JSON a text holds; none when it holds none (the parser works without
// recursion: no nesting overflows the stack).
std::optional<nlohmann::json> parseJson(const std::string& text);
// The same for a file of at most maxBytes; none when it is larger or unreadable.
std::optional<nlohmann::json> readJsonFile(const std::string& path, size_t maxBytes = 64 << 20);

// A number as printf's format gives it, or null when there is none or it is
// not finite.
std::string jsonNumber(const std::optional<double>& value, const char* format = "%g");

// "2026-12-07T18:00:00Z"
std::string utcTime(int64_t unixSeconds);

// "2026-12-07T18:00:00.250Z"
std::string utcTimeMillis(int64_t unixMillis);

// Unix milliseconds of "2026-12-07T18:00:00Z" or "2026-12-07T18:00:00.250Z";
// none when the text is not such a time.
std::optional<int64_t> parseUtcTime(const std::string& text);
