#include "web/WebOptions.h"

#include "core/BoundedMatch.h"

#include <CLI/CLI.hpp>

#include <regex>

namespace {

// "[ADDR:]PORT": a port from 0 (any free one) to 65535 and an address
// without spaces.
std::string checkHttp(const std::string& text) {
    static const std::regex pattern("(([^\\s:]+|\\[[0-9a-fA-F:]+\\]):)?([0-9]{1,5})");
    std::smatch match;
    if (!boundedMatch(text, match, pattern) || std::stoi(match[3]) > 65535)
        return "expected [ADDR:]PORT, for example 8080 or 0.0.0.0:8080";
    return "";
}

}  // namespace

void addWebOptions(CLI::App& app, WebView::Address& address, OptionRules& rules) {
    app.add_option_function<std::string>(
           "--http",
           [&address](const std::string& http) {
               const auto colon = http.rfind(':');
               address.host = colon == std::string::npos ? "127.0.0.1" : http.substr(0, colon);
               if (address.host.front() == '[')
                   address.host = address.host.substr(1, address.host.size() - 2);
               address.port = std::stoi(colon == std::string::npos ? http : http.substr(colon + 1));
           },
           "serve a web view on [ADDR:]PORT (default address 127.0.0.1; another exposes it)")
        ->check(checkHttp)
        ->type_name("ADDR:PORT");
    app.add_option("--http-host", address.allowedHosts,
                   "a host name the web view answers to besides its address")
        ->type_name("NAME")
        ->check(notEmpty);
    app.add_flag("--http-edit", address.edit,
                 "let the web view leave segments out of the night's star trail");
    rules.cannotGoWith.emplace_back("--record", "--http");
    rules.needs.emplace_back("--http-host", "--http");
    rules.needs.emplace_back("--http-edit", "--http");
    rules.needs.emplace_back("--http-edit", "--segments");
}
