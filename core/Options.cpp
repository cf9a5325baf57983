#include "core/Options.h"

#include "core/Json.h"

#include "core/BoundedMatch.h"

#include <cstdio>
#include <regex>

ValueCheck numberIn(double low, double high) {
    return [low, high](const std::string& text) {
        static const std::regex unsigned_("[0-9]+(\\.[0-9]*)?|\\.[0-9]+");
        static const std::regex signed_("-?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)");
        const std::regex& pattern = low < 0 ? signed_ : unsigned_;
        char range[96];
        std::snprintf(range, sizeof range, "expected a number from %g to %g", low, high);
        if (!boundedMatch(text, pattern)) return std::string(range);
        const double value = std::stod(text);
        return value >= low && value <= high ? std::string() : std::string(range);
    };
}

std::string notEmpty(const std::string& text) {
    return text.empty() ? std::string("must not be empty") : std::string();
}

std::string utcTimeText(const std::string& text) {
    return parseUtcTime(text) ? std::string() : std::string("expected a UTC time like 2026-12-07T22:00:00Z");
}
