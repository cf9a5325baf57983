#pragma once

#include <cstdint>
#include <string>

// A JSON string literal of text.
std::string jsonString(const std::string& text);

// "2026-12-07T18:00:00Z"
std::string utcTime(int64_t unixSeconds);
