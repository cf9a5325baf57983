#include "Fakes.h"
#include "core/Json.h"
#include "core/Night.h"
#include "core/StoredFrames.h"
#include "platform/Clocks.h"
#include "platform/DiskFileSystem.h"
#include "platform/MjpegVideo.h"
#include "platform/ProductFiles.h"
#include "products/Keogram.h"
#include "products/Timelapse.h"
#include "retention/Retention.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

// Images a second apart over [from, to] (UTC, as the local time here), dark
// but for one bright pixel in the centre column at `flash`.
void watch(Keogram& keogram, const std::string& from, const std::string& to, const std::string& flash = "",
           int rows = 48) {
    const int64_t flashAt = flash.empty() ? -1 : *parseUtcTime(flash);
    for (int64_t t = *parseUtcTime(from); t <= *parseUtcTime(to); t += 1000) {
        cv::Mat image(rows, 64, CV_8UC3, cv::Scalar::all(10));
        if (t == flashAt) image.at<cv::Vec3b>(20, 32) = cv::Vec3b::all(250);
        keogram.framed({image, t});
    }
}

// A run of the keogram over [from, to] with images of this height.
void keogramRun(const std::string& from, const std::string& to, FILE* err, int rows = 48,
                FilesInUse* inUse = nullptr) {
    Keogram keogram("img", 30, nullptr, err, inUse);
    watch(keogram, from, to, "", rows);
    keogram.ended();
}

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
    // The small hours after the spring's change of summer time are the
    // night of the calendar's day before, not of 24 hours before.
    setenv("TZ", "Europe/Vienna", 1), tzset();
    EXPECT_EQ(nightOf(*parseUtcTime("2026-03-29T22:30:00Z")), "2026-03-29");  // 00:30 CEST on the 30th
    EXPECT_EQ(nightOf(*parseUtcTime("2026-10-25T23:30:00Z")), "2026-10-25");  // 00:30 CET on the 26th
    setenv("TZ", "UTC", 1), tzset();
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
    const std::string times = textOf("img/keogram-2026-12-07.json");
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
    using std::chrono::hours;
    for (const char* path :
         {"img/2.jpg", "img/3.jpg", "img/notes.txt", "img/0042.jpg", "img/keogram-2026-11-01.png",
          "img/keogram-2026-11-01.json", "clips/20261101-220000000.avi", "clips/20261101-220000000.json",
          "clips/holiday.avi", "img/sub/1.jpg", "img/segments-2026-11-01/20261101T220000Z.png",
          "img/segments-2026-11-01/index.json"})
        plant(path, hours(300));
    // Snapshot 1 copied back from a backup yesterday: its sidecar tells its age.
    plant("img/1.jpg", hours(24));
    plant("img/1-time.jpg", hours(24));
    std::ofstream("img/1.json") << "{\"number\":1,\"start\":\"" + utcTimeMillis(millis() - 240 * 3600000LL) +
                                       "\",\"end\":\"x\"}";
    std::filesystem::last_write_time("img/1.json", std::filesystem::last_write_time("img/1.jpg"));
    plant("img/2.jpg", hours(120));                                   // 5 days ago
    plant("img/3.jpg", hours(1));                                     // the newest snapshot
    plant("img/4.jpg", std::chrono::seconds(61), 3000);               // newer than all, and just written
    plant("clips/20261101-230000000.avi", std::chrono::seconds(61));  // an old time, but just written
    SetWallClock clock;  // now: a minute after the last two were written
    clock.now = millis();
    CapturedStream err;
    Retention byAge("img", "clips", {3.0, std::nullopt}, err.file, nullptr, diskFileSystem(), clock);
    byAge.enforce(clock.now);
    EXPECT_EQ(err.lines(),
              (std::vector<std::string>{
                  "retention: deleted img/keogram-2026-11-01.json (and keogram-2026-11-01.png), "
                  "older than --keep-days",
                  "retention: deleted clips/20261101-220000000.avi (and 20261101-220000000.json), "
                  "older than --keep-days",
                  "retention: deleted img/segments-2026-11-01/20261101T220000Z.png, older than --keep-days",
                  "retention: deleted img/1-time.jpg (and 1.jpg, 1.json), older than --keep-days",
                  "retention: deleted img/2.jpg, older than --keep-days"}));
    for (const char* kept : {"img/3.jpg", "img/4.jpg", "img/notes.txt", "img/0042.jpg", "clips/holiday.avi",
                             "img/sub/1.jpg", "clips/20261101-230000000.avi"})
        EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
    EXPECT_EQ(byAge.summaryJson(), "\"retention\":{\"files\":3,\"bytes\":5000,\"deleted\":9}");
    EXPECT_TRUE(std::filesystem::exists("img/segments-2026-11-01/index.json"));

    // A minute on, two minutes after the write, it is no longer protected: the
    // oldest go until the tool's files fit, the newest snapshot stays.
    clock.now += 60000;
    Retention bySize("img", "clips", {std::nullopt, Retention::parseSize("3K")}, err.file, nullptr,
                     diskFileSystem(), clock);
    bySize.enforce(clock.now);
    EXPECT_EQ(err.lines(2),
              (std::vector<std::string>{"retention: deleted clips/20261101-230000000.avi, beyond --max-disk",
                                        "retention: deleted img/3.jpg, beyond --max-disk"}));
    EXPECT_TRUE(std::filesystem::exists("img/4.jpg"));
    EXPECT_EQ(Retention::parseSize("20G"), int64_t{20} << 30);
    EXPECT_FALSE(Retention::parseSize("20GB"));
}

// A restart takes up the night's keogram only when it can go on from it: a
// JSON that lags its PNG (a crash between the two writes) is taken up with
// the columns both hold; a replay of an earlier stretch, a camera of another
// height, or a JSON that cannot be read leave the file as it is and the
// night goes on beside it. While a run writes a night's files, they are in
// use.
TEST(Products, KeogramTakesUpOnlyAFileItCanGoOnFrom) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    FilesInUse inUse;
    {
        Keogram keogram("img", 30, nullptr, err.file, &inUse);
        watch(keogram, "2026-12-07T20:00:00Z", "2026-12-07T20:05:00Z");
        EXPECT_TRUE(inUse.held("img/keogram-2026-12-07.png") && inUse.held("img//keogram-2026-12-07.json"));
        keogram.ended();
    }
    EXPECT_FALSE(inUse.held("img/keogram-2026-12-07.png"));
    const std::string base = "img/keogram-2026-12-07";
    auto times = parseJson(textOf(base + ".json"));
    ASSERT_TRUE(times && times->size() == 10) << textOf(base + ".json");
    // The PNG was written, the JSON not yet: it holds two columns fewer.
    times->erase(times->end() - 2, times->end());
    std::ofstream(base + ".json") << times->dump();
    keogramRun("2026-12-07T20:06:00Z", "2026-12-07T20:07:00Z", err.file);
    EXPECT_EQ(cv::imread(base + ".png").cols, 8 + 2);
    EXPECT_EQ(parseJson(textOf(base + ".json"))->size(), 8u + 2);
    EXPECT_EQ(err.text(), "");

    // The same stretch again: nothing older goes after the last column.
    const std::string taken = textOf(base + ".png") + textOf(base + ".json");
    keogramRun("2026-12-07T20:00:00Z", "2026-12-07T20:01:00Z", err.file);
    EXPECT_EQ(textOf(base + ".png") + textOf(base + ".json"), taken);
    EXPECT_EQ(cv::imread(base + "-2.png").cols, 2);
    // Another camera's height, and a JSON no parser can take (it once
    // overflowed the stack): each goes on beside the file.
    keogramRun("2026-12-08T20:00:00Z", "2026-12-08T20:01:00Z", err.file);
    keogramRun("2026-12-08T20:02:00Z", "2026-12-08T20:03:00Z", err.file, 40);
    EXPECT_EQ(cv::imread("img/keogram-2026-12-08.png").rows, 48 + 24);
    EXPECT_EQ(cv::imread("img/keogram-2026-12-08-2.png").rows, 40 + 24);
    keogramRun("2026-12-09T20:00:00Z", "2026-12-09T20:01:00Z", err.file);
    std::ofstream("img/keogram-2026-12-09.json") << "[\"" + std::string(200000, '2') + "\"]";
    keogramRun("2026-12-09T20:02:00Z", "2026-12-09T20:03:00Z", err.file);
    std::ofstream("img/keogram-2026-12-10.json") << std::string(100000, '[');
    std::filesystem::copy_file("img/keogram-2026-12-09.png", "img/keogram-2026-12-10.png");
    keogramRun("2026-12-10T20:02:00Z", "2026-12-10T20:03:00Z", err.file);
    EXPECT_EQ(cv::imread("img/keogram-2026-12-10-2.png").cols, 2);
    EXPECT_EQ(
        err.lines(),
        (std::vector<std::string>{
            "img/keogram-2026-12-07.png its columns are newer than this run's images: keeping it, going "
            "on in img/keogram-2026-12-07-2.png",
            "img/keogram-2026-12-08.png does not fit this camera's images: keeping it, going on in "
            "img/keogram-2026-12-08-2.png",
            "img/keogram-2026-12-09.png cannot be read: keeping it, going on in img/keogram-2026-12-09-2.png",
            "img/keogram-2026-12-10.png cannot be read: keeping it, going on in "
            "img/keogram-2026-12-10-2.png"}));
}

// The timelapse is on disk, readable, as soon as its first image is, and
// flushed on the clock while no image comes; it is in use until the run
// ends. Only a file that holds an image is listed as a product.
TEST(Products, TimelapseIsReadableFromItsFirstImageAndFlushedOnTheClock) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    FilesInUse inUse;
    TimelapseSettings settings{"img", TimelapseSettings::Shows::frame, 1, 30};
    // Waits, generously, for the file to read back with this many images.
    const auto waitFor = [](const std::string& path, int images) {
        return eventually([&] { return imagesIn(path) >= images; }), imagesIn(path);
    };
    const int64_t start = *parseUtcTime("2026-12-07T20:00:00Z");
    const cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(90));
    const std::string path = "img/timelapse-2026-12-07.mkv";
    settings.flushEvery = std::chrono::hours(1);  // no flush by the clock or by image time
    {
        Timelapse timelapse(settings, err.file, &inUse);
        timelapse.ticked({{}, {image, start}, image, {}, {}});
        EXPECT_EQ(waitFor(path, 1), 1);
        EXPECT_TRUE(inUse.held(path));
        ASSERT_EQ(listProducts("img").size(), 1u);
        EXPECT_EQ(listProducts("img")[0].name, "timelapse-2026-12-07.mkv");
        timelapse.ended();
    }
    EXPECT_FALSE(inUse.held(path));
    settings.flushEvery = std::chrono::milliseconds(1500);
    {
        Timelapse timelapse(settings, err.file, &inUse);
        timelapse.ticked({{}, {image, start}, image, {}, {}});
        // A second of image time later: not due by image time, due by the clock.
        timelapse.ticked({{}, {image, start + 1000}, image, {}, {}});
        EXPECT_EQ(waitFor("img/timelapse-2026-12-07-2.mkv", 2), 2);
        timelapse.ended();
    }
    EXPECT_EQ(err.text(), "");
}

// Working from dusk to dawn: at dawn the keogram is written at once, the
// column in progress in it, and the timelapse's file is closed (released
// for retention); day ticks add nothing; the next dusk goes on in a new file.
TEST(Products, DawnFinishesTheNightsKeogramAndTimelapse) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    FilesInUse inUse;
    const int64_t night = *parseUtcTime("2026-12-08T05:00:00Z"), dawn = night + 45000;
    const cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(90));
    Keogram keogram("img", 30, nullptr, err.file, &inUse);
    Timelapse timelapse({"img", TimelapseSettings::Shows::frame, 1, 30, true}, err.file, &inUse);
    for (int64_t t = night; t < dawn; t += 1000) {
        const cv::Mat shade(48, 64, CV_8UC3, cv::Scalar::all(40 + static_cast<double>(t - night) / 1000));
        keogram.framed({image, t});
        timelapse.ticked({{}, {shade, t}, shade, {}, {}});
    }
    EXPECT_TRUE(inUse.held("img/keogram-2026-12-07.png"));
    keogram.dawn(dawn);
    timelapse.dawn(dawn);
    EXPECT_FALSE(inUse.held("img/keogram-2026-12-07.png"))
        << "written whole: uploads and retention may take it";
    // Written before the run ends: two columns (30 s and the 15 s in progress).
    EXPECT_EQ(cv::imread("img/keogram-2026-12-07.png").cols, 2);
    EXPECT_EQ(textOf("img/keogram-2026-12-07.json"),
              "[\"2026-12-08T05:00:30.000Z\",\"2026-12-08T05:01:00.000Z\"]\n");
    const std::string path = "img/timelapse-2026-12-07.mkv";
    EXPECT_TRUE(eventually([&] { return !inUse.held(path); })) << "closed at dawn";
    for (int64_t t = dawn; t < dawn + 10000; t += 1000)
        timelapse.ticked({{}, {image, t}, image, {}, {}});
    timelapse.dusk(dawn + 10000);
    timelapse.ticked({{}, {image, dawn + 10000}, image, {}, {}});
    timelapse.ended();
    keogram.ended();
    EXPECT_EQ(imagesIn(path), 45);
    EXPECT_EQ(imagesIn("img/timelapse-2026-12-07-2.mkv"), 1) << "the next dusk's, and no day image";
    // The index beside it: each image's time, and its JPEG where libavformat finds it.
    const std::optional<nlohmann::json> index = readJsonFile("img/timelapse-2026-12-07.json");
    const std::optional<StoredFrames> stored = index ? storedFramesOf(*index) : std::nullopt;
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->frames.size(), 45u);
    EXPECT_EQ(stored->fps, 30);
    const std::string video = textOf(path);
    MjpegPackets packets;
    ASSERT_TRUE(packets.open(path));
    for (size_t i = 0; i < stored->frames.size(); ++i) {
        const std::optional<MjpegPackets::Packet> packet = packets.next();
        ASSERT_TRUE(packet);
        EXPECT_EQ(stored->times[i], night + 1000 * static_cast<int64_t>(i));
        EXPECT_EQ(video.substr(stored->frames[i].offset, stored->frames[i].size),
                  std::string(packet->jpeg->begin(), packet->jpeg->end()))
            << i;
    }
    EXPECT_EQ(err.text(), "");
}

// Retention keeps the snapshot this run wrote last (else the newest by
// modification time), whatever its sidecar says; files in use and writes in
// progress, which count toward --max-disk; and not a file whose time is in
// the future.
TEST(Products, RetentionKeepsWhatIsWrittenNowAndTheSnapshotWrittenLast) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    using std::chrono::hours;
    const int64_t now = millis();
    const auto sidecar = [now](int number, int64_t daysAgo, hours age) {
        const std::string path = "img/" + std::to_string(number) + ".json";
        std::ofstream(path) << "{\"number\":" << number
                            << ",\"start\":\"" + utcTimeMillis(now - daysAgo * 86400000) +
                                   "\",\"end\":\"x\"}";
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
    };
    plant("img/3.jpg", hours(5));  // this run's last: a replay of a recording ten days old
    sidecar(3, 10, hours(5));
    plant("img/5.jpg", hours(1));
    plant("img/timelapse-2026-11-01.mkv", hours(24 * 30));  // tonight's, in a clock's view long ago
    plant("clips/.partial-20261101-220000000-7.avi", std::chrono::minutes(10), 5000);  // being written
    plant("img/segments-2026-11-01/.partial-20261101T220000Z.png", hours(24), 300);    // a power cut's
    plant("clips/20261101-220000000.avi", -hours(24));  // from a clock that ran ahead
    FilesInUse inUse;
    inUse.hold("img/timelapse-2026-11-01.mkv");
    CapturedStream err;
    {
        Retention retention("img", "clips", {0.01, std::nullopt}, err.file, &inUse);
        retention.snapshotWritten({3, cv::Mat(), SnapshotReason::endOfInput, now, {}, {}});
        retention.enforce(now);
        EXPECT_EQ(retention.summaryJson(), "\"retention\":{\"files\":4,\"bytes\":7057,\"deleted\":3}");
    }
    EXPECT_EQ(err.lines(), (std::vector<std::string>{
                               "retention: deleted img/segments-2026-11-01/.partial-20261101T220000Z.png, "
                               "left by an interrupted write",
                               "retention: deleted clips/20261101-220000000.avi, older "
                               "than --keep-days",
                               "retention: deleted img/5.jpg, older than --keep-days"}));
    // Without a snapshot of its own, the newest by modification time stays.
    plant("img/6.jpg", hours(2));
    sidecar(6, 10, hours(2));
    plant("img/7.jpg", hours(3));
    CapturedStream again;
    Retention restarted("img", "clips", {std::nullopt, Retention::parseSize("6000")}, again.file);
    restarted.enforce(now);
    EXPECT_EQ(again.lines(),
              (std::vector<std::string>{"retention: deleted img/timelapse-2026-11-01.mkv, beyond --max-disk",
                                        "retention: deleted img/3.jpg (and 3.json), beyond --max-disk",
                                        "retention: deleted img/7.jpg, beyond --max-disk"}));
    EXPECT_TRUE(std::filesystem::exists("img/6.jpg") &&
                std::filesystem::exists("clips/.partial-20261101-220000000-7.avi"));
}
