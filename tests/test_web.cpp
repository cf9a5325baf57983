#include "Fakes.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "web/WebView.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <thread>
#include <tuple>

namespace {

// Snapshot 3, and 5 once it is written; only "5.jpg" is served.
struct ShelfOfTwo : SnapshotShelf {
    std::string folder = ".";
    std::atomic<bool> fiveWritten{false};
    std::vector<SnapshotEntry> list() const override {
        std::vector<SnapshotEntry> listed{{3, 1796680000LL * 1000000000, 7, true}};
        if (fiveWritten) listed.insert(listed.begin(), {5, 1796680800LL * 1000000000, 11, true});
        return listed;
    }
    std::optional<SnapshotEntry> find(int32_t number) const override {
        for (const SnapshotEntry& entry : list())
            if (entry.number == number) return entry;
        return std::nullopt;
    }
    std::optional<std::pair<std::string, std::string>> sidecarTimes(int32_t number) const override {
        if (number != 3) return std::nullopt;
        return std::make_pair("2026-12-07T21:00:00Z", "2026-12-07T21:10:00Z");
    }
    bool has(int32_t number, const std::string& suffix) const override {
        return number == 5 && suffix == kTimeColoursSuffix;
    }
    int openToServe(const std::string& name, uint64_t& size) const override {
        if (name != "5.jpg") return -1;
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        size = 11;
        return fd;
    }
    const std::string& path() const override { return folder; }
};

struct OneEvent : EventShelf {
    std::vector<EventSeen> events() const override {
        return {{1796680801500, 2345, {1, 2, 3, 4}, "thumb-bytes", "2026-12-07T22-00-01.500Z"}};
    }
    int openToServe(const std::string&, uint64_t&) const override { return -1; }
};

struct AKeogram : LatestFile {
    std::pair<std::string, std::string> latest() const override { return {"keogram-2026-12-07.png", "png!"}; }
};

struct Answer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One HTTP/1.0 request on a fresh connection, read to the end.
Answer request(int port, const std::string& method, const std::string& path,
               const std::string& host = "127.0.0.1", const std::string& headers = "",
               const std::string& body = "") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Answer answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return close(fd), answer;
    const std::string text = method + " " + path + " HTTP/1.0\r\nHost: " + host + "\r\n" + headers +
                             (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                             "\r\n" + body;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return close(fd), answer;
    std::string raw;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        raw.append(buffer, static_cast<size_t>(n));
    close(fd);
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return answer;
    std::istringstream head(raw.substr(0, end));
    std::string line;
    std::getline(head, line);
    answer.status = std::stoi(line.substr(9, 3));
    while (std::getline(head, line)) {
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        answer.headers[name] = line.substr(colon + 2, line.size() - colon - 3);
    }
    answer.body = raw.substr(end + 4);
    return answer;
}

Tick tickAt(int64_t millis, int32_t diff, int32_t freq) {
    Tick tick;
    tick.status = {freq, 900, diff, 4, false, 0};
    tick.frame = {cv::Mat(48, 64, CV_8UC3, cv::Scalar(10, 20, 30)), millis};
    tick.trail = cv::Mat(48, 64, CV_8UC3, cv::Scalar(200, 100, 50));
    tick.span = {millis - 10000, millis, 900};
    tick.timeMap = cv::Mat(48, 64, CV_32F, cv::Scalar(0));
    tick.timeMap.at<float>(2, 3) = 1.25f;
    return tick;
}

// Waits (bounded) until the view has published this many ticks.
nlohmann::json statusAfter(int port, int ticks) {
    nlohmann::json status;
    eventually([&] {
        const Answer answer = request(port, "GET", "/status.json");
        if (answer.status == 200) status = nlohmann::json::parse(answer.body);
        return status.value("tick", 0) >= ticks;
    });
    return status;
}

// The view through its own port: what each address answers before and after
// ticks, the gallery as snapshots are written, and what is refused.
TEST(WebView, PublishesEachTickAndRoutesEveryAddress) {
    TempWorkingDir dir;
    std::ofstream("5.jpg") << "jpeg-bytes!";
    std::ofstream("keogram-2026-12-07.png") << "png";
    ShelfOfTwo shelf;
    OneEvent events;
    AKeogram keogram;
    CapturedStream err;
    WebView view({"127.0.0.1", 0, {"sky.lan"}}, shelf,
                 {&events, &keogram, nullptr, [] { return "\"disk\":1"; }}, "demo", err.file);
    ASSERT_TRUE(view.start());
    std::smatch where;
    const std::string said = err.text();
    ASSERT_TRUE(std::regex_search(said, where, std::regex("web view at http://127\\.0\\.0\\.1:([0-9]+)/")))
        << said;
    const int port = std::stoi(where[1]);

    // Before the first tick: the page, no images yet.
    const Answer page = request(port, "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.body, kWebPage);
    EXPECT_EQ(request(port, "GET", "/frame.jpg").status, 404);
    EXPECT_EQ(request(port, "GET", "/trail-time?x=3&y=2").status, 404);

    // A snapshot the folder does not hold is not listed; one it holds is,
    // with the times of its trail.
    const TrailSpan span{1796680000000, 1796680801000, 1};
    view.snapshotWritten({6, cv::Mat(), SnapshotReason::countdown, 1796680801000, span, cv::Mat()});
    shelf.fiveWritten = true;
    view.snapshotWritten({5, cv::Mat(), SnapshotReason::countdown, 1796680801000, span, cv::Mat()});
    view.ticked(tickAt(1796680801000, 2500, 30));
    nlohmann::json status = statusAfter(port, 1);
    EXPECT_EQ(status["tick"], 1);
    EXPECT_EQ(status["freq"], 30);
    EXPECT_EQ(status["diff"], 2500);
    EXPECT_EQ(status["trackCounter"], 4);
    EXPECT_EQ(status["device"], "demo");
    EXPECT_EQ(status["time"], "2026-12-07T22:00:01Z");
    EXPECT_EQ(status["disk"], 1);
    EXPECT_EQ(status["lastSnapshot"]["name"], "5.jpg");
    EXPECT_EQ(status["lastSnapshot"]["start"], "2026-12-07T21:46:40.000Z");
    EXPECT_EQ(status["lastEvent"]["clip"], "2026-12-07T22-00-01.500Z");

    // A long exposure in progress is told between ticks.
    EXPECT_FALSE(status.contains("exposure"));
    view.exposing({1796680801000, 30, 1796680813000});
    status = statusAfter(port, 1);
    EXPECT_EQ(status["exposure"], nlohmann::json::parse("{\"seconds\":30,\"secondsLeft\":18.0}"));
    EXPECT_EQ(status["device"], "demo");

    view.ticked(tickAt(1796680802000, 100, 29));
    status = statusAfter(port, 2);
    EXPECT_EQ(status["uptimeSeconds"], 1);
    EXPECT_FALSE(status.contains("exposure")) << "that exposure is in";
    EXPECT_EQ(nlohmann::json::parse(request(port, "GET", "/history.json").body),
              nlohmann::json::parse("[[1796680801,2500,30],[1796680802,100,29]]"));
    const nlohmann::json gallery = nlohmann::json::parse(request(port, "GET", "/snapshots.json").body);
    ASSERT_EQ(gallery.size(), 2u);
    EXPECT_EQ(gallery[0]["name"], "5.jpg");
    EXPECT_EQ(gallery[0]["timeMap"], true);
    EXPECT_EQ(gallery[1]["start"], "2026-12-07T21:00:00Z");
    EXPECT_EQ(gallery[1]["bytes"], 7);
    const nlohmann::json listed = nlohmann::json::parse(request(port, "GET", "/events.json").body);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["box"], nlohmann::json::parse("[1,2,3,4]"));
    EXPECT_EQ(listed[0]["thumbnail"], "events/1796680801500.jpg");
    EXPECT_EQ(request(port, "GET", "/events/1796680801500.jpg").body, "thumb-bytes");
    EXPECT_EQ(request(port, "GET", "/events/1796680801501.jpg").status, 404);
    EXPECT_EQ(nlohmann::json::parse(request(port, "GET", "/products.json").body)[0]["kind"], "keogram");

    const Answer frame = request(port, "GET", "/frame.jpg");
    EXPECT_EQ(frame.headers.at("cache-control"), "no-store");
    const cv::Mat decoded =
        cv::imdecode(std::vector<uchar>(frame.body.begin(), frame.body.end()), cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), cv::Size(64, 48));
    EXPECT_NEAR(decoded.at<cv::Vec3b>(10, 10)[2], 30, 3);
    EXPECT_EQ(request(port, "GET", "/keogram.png").body, "png!");
    EXPECT_EQ(request(port, "GET", "/snapshots/5.jpg").body, "jpeg-bytes!");
    EXPECT_EQ(request(port, "GET", "/trail-time?x=3&y=2").body,
              // the second tick's trail began 10 s before it
              "{\"seconds\":1.250,\"time\":\"2026-12-07T21:59:53.250Z\"}");
    EXPECT_EQ(request(port, "GET", "/trail-time?x=4&y=2").body, "{\"seconds\":0,\"time\":null}");

    // What is refused, and how.
    const Answer posted = request(port, "POST", "/status.json");
    EXPECT_EQ(posted.status, 405);
    EXPECT_EQ(posted.headers.at("allow"), "GET, HEAD");
    // (Hostile paths, hosts and origins against the running tool: web_view.py.)
    for (const char* path : {"/snapshots/3.jpg", "/trail-time?x=64&y=0", "/trail-time?x=1x&y=0"})
        EXPECT_EQ(request(port, "GET", path).status, 404) << path;
    EXPECT_EQ(request(port, "GET", "/status.json", "sky.lan").status, 200);
    const Answer head = request(port, "HEAD", "/snapshots/5.jpg");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
}

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

// With --http-edit a page of the view may leave a segment out of the star
// trail; a request from anywhere else, or without the option, changes nothing.
TEST(WebView, OnlyItsOwnPageMayLeaveSegmentsOut) {
    struct Segments : SegmentShelf {
        std::vector<std::pair<std::string, bool>> edits;
        std::string indexJson() const override { return "[{\"file\":\"20261207T220000Z.png\"}]\n"; }
        bool setExcluded(const std::string& file, bool excluded) override {
            if (file != "20261207T220000Z.png") return false;
            edits.emplace_back(file, excluded);
            return true;
        }
    } segments;
    TempWorkingDir dir;
    ShelfOfTwo shelf;
    for (const auto& [address, edit] : std::vector<std::pair<std::string, bool>>{
             {"127.0.0.1", false}, {"127.0.0.1", true}, {"0.0.0.0", true}}) {
        CapturedStream err;
        WebView view({address, 0, {}, edit}, shelf, {nullptr, nullptr, &segments, nullptr}, "demo", err.file);
        ASSERT_TRUE(view.start());
        std::smatch where;
        const std::string said = err.text();
        ASSERT_TRUE(std::regex_search(said, where, std::regex(":([0-9]+)/")));
        const int port = std::stoi(where[1]);
        const std::string host = "127.0.0.1:" + where[1].str(), own = "Origin: http://" + host + "\r\n";
        EXPECT_EQ(request(port, "GET", "/segments.json").body, "[{\"file\":\"20261207T220000Z.png\"}]\n");
        const std::string exclude = "/segments/exclude?file=20261207T220000Z.png&excluded=1";
        EXPECT_EQ(request(port, "POST", exclude, host, own).status, edit ? 202 : 405);
        if (!edit) continue;
        EXPECT_EQ(request(port, "POST", "/segments/exclude?file=x.png&excluded=1", host, own).status, 404);
        EXPECT_EQ(
            request(port, "POST", "/segments/exclude?file=20261207T220000Z.png&excluded=0", host, own).status,
            202);
        EXPECT_EQ(request(port, "POST", "/status.json", host, own).status, 405);
        // A page served under any name that resolves here (DNS rebinding)
        // sends that name as its host and origin: no change through it.
        const std::string evil = "evil.example:" + where[1].str();
        EXPECT_EQ(request(port, "POST", exclude, evil, "Origin: http://" + evil + "\r\n").status, 403)
            << address;
        // A form's body is read and the edit answered.
        EXPECT_EQ(
            request(port, "POST", exclude, host, own + "Content-Type: text/plain\r\n", "excluded=1").status,
            202);
    }
    using Edits = std::vector<std::pair<std::string, bool>>;
    const Edits once{
        {"20261207T220000Z.png", true}, {"20261207T220000Z.png", false}, {"20261207T220000Z.png", true}};
    Edits twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(segments.edits, twice);
}

}  // namespace
