#include "core/Night.h"

#include <cstdio>
#include <ctime>

namespace {

std::tm localTime(int64_t unixMillis) {
    const auto seconds =
        static_cast<std::time_t>(unixMillis >= 0 ? unixMillis / 1000 : (unixMillis - 999) / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

}  // namespace

std::string nightOf(int64_t unixMillis) {
    std::tm local = localTime(unixMillis);
    if (local.tm_hour < 12) {
        // The day before on the calendar: a day of 23 or 25 hours (a change
        // of summer time) is still one day.
        std::tm before{};
        before.tm_year = local.tm_year, before.tm_mon = local.tm_mon, before.tm_mday = local.tm_mday - 1;
        before.tm_hour = 12, before.tm_isdst = -1;
        std::mktime(&before);
        local = before;
    }
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    return date;
}

int64_t nightStart(const std::string& night) {
    std::tm local{};
    if (std::sscanf(night.c_str(), "%4d-%2d-%2d", &local.tm_year, &local.tm_mon, &local.tm_mday) != 3)
        return 0;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * 1000;
}

int localHour(int64_t unixMillis) { return localTime(unixMillis).tm_hour; }

int localMinuteOfDay(int64_t unixMillis) {
    const std::tm local = localTime(unixMillis);
    return local.tm_hour * 60 + local.tm_min;
}

std::string localTimeText(int64_t unixMillis) {
    const std::tm local = localTime(unixMillis);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}
