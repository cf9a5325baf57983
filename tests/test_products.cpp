#include "Fakes.h"
#include "core/Json.h"
#include "products/Keogram.h"
#include "products/Night.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <ctime>
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
