#include "core/Json.h"

#include "core/FileSystem.h"

#include <cmath>
#include <cstdio>
#include <ctime>

std::string jsonString(const std::string& text) {
    // Bytes that are no UTF-8 (a Latin-1 folder name) become U+FFFD: every
    // JSON the tool writes stays valid.
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<nlohmann::json> parseJson(const std::string& text) {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

std::optional<nlohmann::json> readJsonFile(const std::string& path, size_t maxBytes) {
    const std::optional<std::string> text = readFileUpTo(path, maxBytes);
    return text ? parseJson(*text) : std::nullopt;
}

std::string utcTime(int64_t unixSeconds) {
    const auto seconds = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return time;
}

std::string utcTimeMillis(int64_t unixMillis) {
    const int64_t seconds = unixMillis >= 0 ? unixMillis / 1000 : (unixMillis - 999) / 1000;
    const std::string whole = utcTime(seconds);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(unixMillis - seconds * 1000));
    return whole.substr(0, whole.size() - 1) + millis;
}

std::optional<int64_t> parseUtcTime(const std::string& text) {
    std::tm utc{};
    int millis = 0;
    char zone = 0;
    int used = 0;
    const bool withMillis = text.size() == 24;
    const int fields =
        withMillis ? std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%n", &utc.tm_year, &utc.tm_mon,
                                 &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &zone, &used)
                   : std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &utc.tm_year, &utc.tm_mon,
                                 &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &zone, &used);
    if (fields != (withMillis ? 8 : 7) || zone != 'Z' || used != static_cast<int>(text.size()) ||
        (!withMillis && text.size() != 20))
        return std::nullopt;
    const std::tm given = utc;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::time_t seconds = timegm(&utc);
    // timegm folds 2026-02-31 into March: such a date is no date.
    if (utc.tm_mday != given.tm_mday || utc.tm_hour != given.tm_hour || utc.tm_min != given.tm_min ||
        utc.tm_sec != given.tm_sec)
        return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000 + millis;
}

std::string jsonNumber(const std::optional<double>& value, const char* format) {
    if (!value || !std::isfinite(*value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, *value);
    return text;
}
