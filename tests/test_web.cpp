#include "web/WebView.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

// (The view as it serves a running tool, to a real browser and to hostile
// clients, is checked end to end by web_view.py.)

// Against DNS rebinding, the view answers only to names of its own address.
TEST(WebView, AnswersOnlyToItsOwnNames) {
    const std::vector<std::string> lan{"Sky.lan"};
    for (const auto& [host, loopback, allowed, answered] :
         std::vector<std::tuple<std::string, bool, std::vector<std::string>, bool>>{
             {"localhost:8080", true, {}, true},
             {"127.0.0.5", true, {}, true},
             {"[::1]:80", true, {}, true},
             {"cam.localhost", true, {}, true},
             {"", true, {}, true},
             {"attacker.example:8080", true, {}, false},
             {"localhost.attacker.example", true, {}, false},
             {"192.168.1.4", true, {}, false},
             {"SKY.lan:8080", true, lan, true},
             {"attacker.example", false, {}, true},
             {"attacker.example", false, lan, false},
             {"192.168.1.4:8080", false, lan, true}})
        EXPECT_EQ(hostAllowed(host, loopback, allowed), answered) << host << ' ' << loopback;
    EXPECT_EQ(webAddress("::1", 8080), "http://[::1]:8080/");
    EXPECT_EQ(webAddress("0.0.0.0", 80), "http://0.0.0.0:80/");
}
