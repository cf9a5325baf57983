#include "Fakes.h"
#include "core/Json.h"
#include "web/WebView.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <string>
#include <thread>
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

namespace {

struct EmptyFolder : SnapshotShelf {
    std::string folder = ".";
    std::vector<SnapshotEntry> list() const override { return {}; }
    std::optional<SnapshotEntry> find(int32_t) const override { return std::nullopt; }
    std::optional<std::pair<std::string, std::string>> sidecarTimes(int32_t) const override {
        return std::nullopt;
    }
    bool has(int32_t, const std::string&) const override { return false; }
    int openToServe(const std::string&, uint64_t&) const override { return -1; }
    const std::string& path() const override { return folder; }
};

// The status and body of a GET on the loopback.
std::pair<int, std::string> get(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return close(fd), std::pair{0, ""};
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!write(fd, request.data(), request.size());
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.size() < 12 || body == std::string::npos) return {0, ""};
    return {std::stoi(answer.substr(9, 3)), answer.substr(body + 4)};
}

}  // namespace

// Meteors are listed among the events, newest first, each with the trail
// around it as its thumbnail and its clip once written.
TEST(WebView, ListsMeteorsAmongTheEvents) {
    EmptyFolder folder;
    CapturedStream err;
    WebView view({"127.0.0.1", 0, {}, false}, folder, {}, "test", err.file);
    ASSERT_TRUE(view.start());
    const std::string said = err.text();
    const int port = std::stoi(said.substr(said.rfind(':') + 1));
    const int64_t start = 1765143045120;
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 90, 200)), jpeg);
    Meteor earlier, later;
    earlier.startMillis = start, earlier.endMillis = start + 400, earlier.from = {10, 20},
    earlier.to = {30, 40};
    earlier.frames = 11, earlier.length = 28.3, earlier.speed = 70.7, earlier.peak = 90,
    earlier.box = {0, 4, 40, 30};
    earlier.thumbnail = std::make_shared<const std::vector<uchar>>(jpeg);
    later = earlier;
    later.startMillis += 60000, later.endMillis += 60000;
    view.meteorDetected(earlier);
    view.meteorDetected(later);
    view.clipWritten({"20251207-213042000", start - 3000, start + 5000, 200});
    const cv::Mat image(30, 40, CV_8UC3, cv::Scalar::all(0));
    for (int tick = 0; tick < 2; ++tick)
        view.ticked(Tick{{30, 900, 0, 0, false, 0}, {image, start + 61000 + tick * 1000}, image, {}, {}});
    nlohmann::json events;
    for (int tries = 0; tries < 200 && events.size() < 2; ++tries) {
        events = nlohmann::json::parse(get(port, "/events.json").second, nullptr, false);
        if (events.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(events.size(), 2u) << events.dump();
    EXPECT_EQ(events[0]["time"], utcTimeMillis(later.startMillis));
    Meteor clipped = earlier;
    clipped.clip = "20251207-213042000";
    EXPECT_EQ(events[1]["meteor"], nlohmann::json::parse(meteorJson(clipped)));
    EXPECT_EQ(events[1]["clip"], "20251207-213042000");
    EXPECT_EQ(events[0]["clip"], nullptr);
    EXPECT_EQ(events[1]["box"], nlohmann::json::parse("[0,4,40,30]"));
    const auto [status, thumbnail] = get(port, "/" + events[1]["thumbnail"].get<std::string>());
    EXPECT_EQ(status, 200);
    const cv::Mat shown =
        cv::imdecode(std::vector<uchar>(thumbnail.begin(), thumbnail.end()), cv::IMREAD_COLOR);
    EXPECT_EQ(shown.size(), cv::Size(40, 30));
    EXPECT_EQ(get(port, "/meteors/1.jpg").first, 404);
}
