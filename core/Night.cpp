#include "core/Night.h"

#include <sys/stat.h>

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
    if (local.tm_hour < 12) local = localTime(unixMillis - 24 * 3600 * 1000);
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

std::string unusedName(const std::string& base, const std::string& extension) {
    return unusedBase(base, {extension}) + extension;
}

std::string unusedBase(const std::string& base, const std::vector<std::string>& extensions) {
    const auto taken = [&extensions](const std::string& name) {
        struct stat info {};
        for (const std::string& extension : extensions)
            if (lstat((name + extension).c_str(), &info) == 0) return true;
        return false;
    };
    std::string name = base;
    for (int n = 2; taken(name); ++n)
        name = base + "-" + std::to_string(n);
    return name;
}
