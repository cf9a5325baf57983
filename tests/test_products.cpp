#include "Fakes.h"
#include "core/Json.h"
#include "platform/Clocks.h"
#include "products/Keogram.h"
#include "products/Night.h"
#include "retention/Retention.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

// Images a second apart over [from, to] (UTC, as the local time here), dark
// but for one bright pixel in the centre column at `flash`.
void watch(Keogram& keogram, const std::string& from, const std::string& to, const std::string& flash = "") {
    const int64_t flashAt = flash.empty() ? -1 : *parseUtcTime(flash);
    for (int64_t t = *parseUtcTime(from); t <= *parseUtcTime(to); t += 1000) {
        cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(10));
        if (t == flashAt) image.at<cv::Vec3b>(20, 32) = cv::Vec3b::all(250);
        keogram.framed({image, t});
    }
}

struct LocalTimeIsUtc {
    LocalTimeIsUtc() { setenv("TZ", "UTC", 1), tzset(); }
    ~LocalTimeIsUtc() { unsetenv("TZ"), tzset(); }
};

}  // namespace

// A night runs from local noon to local noon, named by its evening: the
// morning before noon belongs to the night before, midnight changes nothing.
// A column every 30 s; a flash between two columns shows in the later one;
// a restart in the night takes up its file.
TEST(Products, KeogramColumnsFollowTheNightsAndKeepShortFlashes) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    EXPECT_EQ(nightOf(*parseUtcTime("2026-12-08T11:59:59Z")), "2026-12-07");
    EXPECT_EQ(nightOf(*parseUtcTime("2026-12-08T12:00:00Z")), "2026-12-08");
    EXPECT_EQ(nightStart("2026-12-07"), *parseUtcTime("2026-12-07T12:00:00Z"));
    EXPECT_EQ(nightStart("keogram"), 0);
    CapturedStream err;
    {
        Keogram keogram("img", 30, nullptr, err.file);
        watch(keogram, "2026-12-07T11:58:00Z", "2026-12-07T12:02:00Z", "2026-12-07T12:01:10Z");
        watch(keogram, "2026-12-07T23:58:00Z", "2026-12-08T00:02:00Z");
        keogram.ended();
    }
    const cv::Mat before = cv::imread("img/keogram-2026-12-06.png"),
                  night = cv::imread("img/keogram-2026-12-07.png");
    EXPECT_EQ(before.cols, 3);     // 11:58:30, 11:59:00, 11:59:30
    ASSERT_EQ(night.cols, 5 + 8);  // 12:00:00 to 12:02:00, 23:58:30 to 00:02:00
    EXPECT_EQ(night.rows, 48 + 24) << "the hours in a strip below";
    for (int column = 0; column < 13; ++column)  // the flash at 12:01:10 is in the column of 12:01:30
        EXPECT_EQ(night.at<cv::Vec3b>(20, column)[0], column == 3 ? 250 : 10) << column;
    {
        Keogram restarted("img", 30, nullptr, err.file);
        watch(restarted, "2026-12-08T00:03:00Z", "2026-12-08T00:04:00Z");
        restarted.ended();
    }
    const cv::Mat taken = cv::imread("img/keogram-2026-12-07.png");
    ASSERT_EQ(taken.cols, 13 + 2);
    EXPECT_TRUE(samePixels(taken(cv::Rect(0, 0, 13, 48)), night(cv::Rect(0, 0, 13, 48))));
    std::ostringstream read;
    read << std::ifstream("img/keogram-2026-12-07.json").rdbuf();
    const std::string times = read.str();
    EXPECT_EQ(std::count(times.begin(), times.end(), 'Z'), 15);
    EXPECT_EQ(times.rfind("[\"2026-12-07T12:00:00.000Z\",\"2026-12-07T12:00:30.000Z\",", 0), 0u);
    EXPECT_EQ(err.text(), "");
}

// Retention deletes, oldest first, only the tool's own files (a snapshot with
// what goes beside it, clips, night products), never the newest snapshot nor
// a file just written, and says each deletion.
TEST(Products, RetentionDeletesTheOldestOfTheToolsOwnFilesOnly) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    namespace fs = std::filesystem;
    const auto plant = [](const std::string& path, int hoursAgo, size_t bytes = 1000) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << std::string(bytes, 'x');
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
    };
    const int64_t now = millis();
    for (const char* path :
         {"img/2.jpg", "img/3.jpg", "img/notes.txt", "img/0042.jpg", "img/keogram-2026-11-01.png",
          "img/keogram-2026-11-01.json", "clips/20261101-220000000.avi", "clips/20261101-220000000.json",
          "clips/holiday.avi"})
        plant(path, 300);
    // Snapshot 1 copied back from a backup yesterday: its sidecar tells its age.
    plant("img/1.jpg", 24);
    plant("img/1-time.jpg", 24);
    std::ofstream("img/1.json") << "{\"number\":1,\"start\":\"" + utcTimeMillis(now - 10 * 86400000LL) +
                                       "\",\"end\":\"x\"}";
    fs::last_write_time("img/1.json", fs::file_time_type::clock::now() - std::chrono::hours(24));
    plant("img/2.jpg", 120);  // 5 days ago
    plant("img/3.jpg", 0);    // the newest snapshot, and just written
    fs::last_write_time("img/3.jpg", fs::file_time_type::clock::now() - std::chrono::hours(1));
    plant("img/4.jpg", 0, 3000);  // newer than all, and just written
    CapturedStream err;
    Retention byAge("img", "clips", {3.0, std::nullopt}, err.file);
    byAge.enforce(now);
    EXPECT_EQ(err.lines(),
              (std::vector<std::string>{
                  "retention: deleted img/keogram-2026-11-01.json (and keogram-2026-11-01.png), "
                  "older than --keep-days",
                  "retention: deleted clips/20261101-220000000.avi (and 20261101-220000000.json), "
                  "older than --keep-days",
                  "retention: deleted img/1-time.jpg (and 1.jpg, 1.json), older than --keep-days",
                  "retention: deleted img/2.jpg, older than --keep-days"}));
    for (const char* kept : {"img/3.jpg", "img/4.jpg", "img/notes.txt", "img/0042.jpg", "clips/holiday.avi"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
    EXPECT_EQ(byAge.summaryJson(), "\"retention\":{\"files\":2,\"bytes\":4000,\"deleted\":8}");

    Retention bySize("img", "clips", {std::nullopt, Retention::parseSize("3K")}, err.file);
    bySize.enforce(now);
    EXPECT_EQ(err.lines(1)[0], "retention: deleted img/3.jpg, beyond --max-disk");
    EXPECT_TRUE(fs::exists("img/4.jpg"));
    EXPECT_EQ(Retention::parseSize("20G"), int64_t{20} << 30);
    EXPECT_FALSE(Retention::parseSize("20GB"));
}
