#pragma once

#include "core/Stretch.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

// What each feature's options hook declares besides its options, and the
// command line checks once they are all read: options that need another,
// and options that cannot go with another. Each usage error is one line.
struct OptionRules {
    std::vector<std::pair<std::string, std::string>> cannotGoWith;  // option, other
    std::vector<std::pair<std::string, std::string>> needs;         // option, the one it needs
    std::vector<std::function<std::string()>> checks;               // any other usage error, in words
    std::vector<std::function<void()>> finish;                      // once every option is read
};

// Checks of option values, as CLI11 takes them: an empty text when the
// value is fine, else what was expected.
using ValueCheck = std::function<std::string(const std::string&)>;
// A plain decimal number within [low, high] (a minus sign only when low is
// below 0).
ValueCheck numberIn(double low, double high);
// Any text but an empty one.
std::string notEmpty(const std::string& text);
// A UTC time such as 2026-12-07T22:00:00Z.
std::string utcTimeText(const std::string& text);

// Adds --stretch (linear, asinh or none) to a CLI11 app or subcommand.
template <typename App>
auto addStretchOption(App& app, Stretch& stretch, const std::string& help) {
    return app
        .template add_option_function<std::string>(
            "--stretch", [&stretch](const std::string& name) { stretch = *stretchNamed(name); }, help)
        ->type_name("HOW")
        ->check([](const std::string& v) {
            return stretchNamed(v) ? std::string() : "expected linear, asinh or none";
        });
}

// Adds an option that takes a plain number within [low, high] to a CLI11
// app, its value shown as `type`.
template <typename App, typename T>
auto addNumber(App& app, const std::string& name, T& value, const std::string& help, const char* type,
               double low, double high) {
    return app.add_option(name, value, help)->type_name(type)->check(numberIn(low, high));
}
