#include "LoopParts.h"
#include "core/Json.h"
#include "snapshots/SnapshotFolder.h"
#include "views/LiveFiles.h"
#include "views/StatusPrinter.h"

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

// The snapshot folder: the folder it had to make gone again when nothing
// was written in it (one run at a time: checked end to end); snapshots and what goes beside them
// written whole, or said why not; no room below the minimum.
TEST(Snapshots, FolderKeepsOthersOutAndSaysWhatItCouldNotWrite) {
    TempWorkingDir dir;
    CapturedStream err;
    {
        SnapshotFolder unused("night/img", 0, err.file);
        EXPECT_TRUE(unused.open());
    }
    EXPECT_FALSE(std::filesystem::exists("night"));
    const cv::Mat trail = movingDotImage(3, {800, 600});
    {
        SnapshotFolder folder("night/img", 0, err.file);
        ASSERT_TRUE(folder.open());
        folder.addCompanion("-small.png",
                            [](const SnapshotDue& d) { return cv::Mat(d.trail, cv::Rect(0, 0, 8, 8)); });
        struct Written : TrailListener {
            std::vector<int32_t> numbers;
            void snapshotWritten(const SnapshotDue& due) override { numbers.push_back(due.number); }
        } told;
        ListenerSet announcements({&told});
        folder.announceTo(&announcements);
        folder.snapshotDue({12, trail, SnapshotReason::exit, 0, {}, {}});
        std::filesystem::create_directory("night/img/13.jpg");  // a write that fails
        folder.snapshotDue({13, trail, SnapshotReason::countdown, 0, {}, {}});
        folder.ended();  // the writer's thread is done with both
        std::filesystem::remove("night/img/13.jpg"), std::filesystem::remove("night/img/13-small.png");
        EXPECT_EQ(told.numbers, std::vector<int32_t>{12});
        EXPECT_TRUE(folder.taken(12) && !folder.taken(13) && !folder.finalSnapshotLost());
        EXPECT_EQ(folder.newest(), 12);
    }
    std::vector<uchar> encoded;
    cv::imencode(".jpg", trail, encoded);
    EXPECT_EQ(textOf("night/img/12.jpg"), std::string(encoded.begin(), encoded.end()))
        << "the trail as JPEG, with defaults";
    EXPECT_EQ(cv::imread("night/img/12-small.png").size(), cv::Size(8, 8));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("night/img"), {}), 2) << "no lock file left";

    std::ofstream("blocked") << "a file where the folder should be";
    SnapshotFolder blocked("blocked/img", 0, err.file), tight(".", int64_t{1} << 60, err.file);
    blocked.snapshotDue({1, trail, SnapshotReason::endOfInput, 0, {}, {}});
    blocked.ended();
    EXPECT_TRUE(blocked.finalSnapshotLost());
    EXPECT_FALSE(tight.hasRoom());
    const std::vector<std::string> said = err.lines();
    ASSERT_EQ(said.size(), 3u);
    EXPECT_EQ(said[0], "cannot write snapshot night/img/13.jpg: Is a directory");
    EXPECT_EQ(said[1], "cannot write snapshot blocked/img/1.jpg: Not a directory");
    EXPECT_TRUE(std::regex_match(
        said[2], std::regex(R"(snapshot skipped: \d+ MB free for \., less than the 1099511627776 MB asked)")))
        << said[2];
}

// With metadata, a snapshot comes with its sidecar, and its own EXIF dates
// its start in UTC, read back with exiv2.
TEST(Snapshots, SidecarAndExifSayWhenTheTrailHappened) {
    TempWorkingDir dir;
    CapturedStream err;
    SnapshotFolder folder("img", 0, err.file);
    const SnapshotMetadata metadata("rtsp://cam/live", "1.2.3");
    folder.describeWith(&metadata);
    const TrailSpan span{1796681600100, 1796681905250, 9001, true, 1796681605100, 2345};
    folder.snapshotDue({7, movingDotImage(1), SnapshotReason::countdown, 0, span, {}});
    folder.snapshotDue(
        {8, movingDotImage(2), SnapshotReason::endOfInput, 0, {1796681905250, 1796681905250, 1}, {}});
    folder.ended();
    EXPECT_EQ(
        textOf("img/7.json") + textOf("img/8.json"),
        "{\"number\":7,\"start\":\"2026-12-07T22:13:20.100Z\",\"end\":\"2026-12-07T22:18:25.250Z\","
        "\"images\":9001,\"armed\":\"2026-12-07T22:13:25.100Z\",\"armed_diff\":2345,\"reason\":\"countdown\","
        "\"source\":\"rtsp://cam/live\",\"width\":64,\"height\":48,\"version\":\"1.2.3\"}\n"
        "{\"number\":8,\"start\":\"2026-12-07T22:18:25.250Z\",\"end\":\"2026-12-07T22:18:25.250Z\","
        "\"images\":1,\"armed\":null,\"armed_diff\":null,\"reason\":\"end of input\","
        "\"source\":\"rtsp://cam/live\",\"width\":64,\"height\":48,\"version\":\"1.2.3\"}\n");
    auto image = Exiv2::ImageFactory::open("img/7.jpg");
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:12:07 22:13:20");
    EXPECT_EQ(exif["Exif.Photo.SubSecTimeOriginal"].toString(), "100");
    EXPECT_EQ(exif["Exif.Photo.OffsetTimeOriginal"].toString(), "+00:00");
    EXPECT_NE(
        exif["Exif.Image.ImageDescription"].toString().find("9001 images from 2026-12-07T22:13:20.100Z"),
        std::string::npos);
    EXPECT_EQ(folder.list().size(), 2u) << "the sidecars are no snapshots";
    EXPECT_EQ(err.text(), "");
    // A replay of a folder named in Latin-1 ("nuit d'été"), and a quote and
    // a control character: the sidecar is still JSON, in valid UTF-8.
    const SnapshotMetadata latin1("nuit d'\xe9t\xe9/\"a\"\x01", "1.2.3");
    const std::string sidecar = latin1.sidecar({9, movingDotImage(3), SnapshotReason::exit, 0, span, {}});
    const auto parsed = parseJson(sidecar);
    ASSERT_TRUE(parsed) << sidecar;
    EXPECT_EQ((*parsed)["source"], "nuit d'\xef\xbf\xbdt\xef\xbf\xbd/\"a\"\x01");
    EXPECT_EQ(jsonString("caf\xc3\xa9 \xff\xfe"), "\"caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\"");

    // A meteor is judged seconds after it ended, maybe after the snapshot
    // whose trail holds it, or as the run ends: that sidecar is written
    // again and counts it; one outside the trail changes nothing.
    SnapshotFolder late("late", 0, err.file);
    SnapshotMetadata counting("demo", "1.2.3");
    std::atomic<int> meteors{0}, asked{0};
    counting.addMembers(
        [&](const SnapshotDue&) { return ++asked, "\"meteors\":" + std::to_string(meteors); });
    late.describeWith(&counting);
    const TrailSpan last{span.endMillis + 10, span.endMillis + 20, 2};
    late.snapshotDue({1, movingDotImage(1), SnapshotReason::countdown, 0, span, {}});
    late.snapshotDue({2, movingDotImage(2), SnapshotReason::exit, 0, last, {}});
    late.ended();
    const int before = asked;
    Meteor meteor;
    meteor.startMillis = span.endMillis + 5;  // in neither
    late.meteorDetected(meteor);
    EXPECT_EQ(asked, before);
    meteors = 1, meteor.startMillis = last.startMillis + 5;
    late.meteorDetected(meteor);
    EXPECT_NE(textOf("late/2.json").find("\"meteors\":1,"), std::string::npos) << textOf("late/2.json");
    EXPECT_NE(textOf("late/1.json").find("\"meteors\":0,"), std::string::npos) << textOf("late/1.json");
}

// The live files: the tick's camera image, trail and status, replaced at
// each tick; a folder that cannot be written is said once, and again when
// it can be. (An exposure in progress between ticks: checked end to end.)
TEST(LiveFiles, EachTickReplacesTheImagesAndTheStatus) {
    TempWorkingDir dir;
    CapturedStream err;
    std::ofstream("live") << "a file where the folder should be";
    LiveFiles live("live", "rtsp://cam/live", err.file, [] { return std::string("\"extra\":1"); });
    const cv::Mat frame = movingDotImage(3), trail = movingDotImage(9);
    const Tick tick{{30, 912, 2295, 4, true, 300}, {frame, 1796681600100}, trail, {}, {}};
    live.ticked(tick);
    EXPECT_TRUE(eventually([&err] { return !err.text().empty(); }));
    EXPECT_EQ(err.text().rfind("cannot write live files in live: ", 0), 0u) << err.text();
    std::filesystem::remove("live");
    live.ticked(tick);
    EXPECT_TRUE(eventually([&err] { return err.lines().size() == 2; }));
    EXPECT_EQ(err.lines(1)[0], "live files in live are written again");
    EXPECT_EQ(cv::imread("live/frame.jpg").size(), frame.size());
    EXPECT_EQ(cv::norm(cv::imread("live/trail.jpg"), trail, cv::NORM_INF) < 64, true) << "the trail, as JPEG";
    EXPECT_EQ(
        textOf("live/status.json"),
        "{\"freq\":30,\"frameCounter\":912,\"diff\":2295,\"trackCounter\":4,\"save\":1,\"saveTimeout\":300,"
        "\"device\":\"rtsp://cam/live\",\"time\":\"2026-12-07T22:13:20Z\",\"extra\":1}\n");
}

// Snapshots are written on a thread of their own, in number order. A replay
// that ends with three snapshots waiting for a slow writer: the end
// ("closing app", told right after the folder) finds every one of them in
// place with what goes beside it, and the lines are those of a run that
// writes on the loop.
TEST(Snapshots, AnOrderlyEndWritesEveryQueuedSnapshotBeforeClosingApp) {
    TempWorkingDir dir;
    CapturedStream err;
    SnapshotFolder folder("img", 0, err.file);
    ASSERT_TRUE(folder.open());
    std::vector<int32_t> order;
    folder.addCompanion("-slow.png", [&order](const SnapshotDue& d) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        order.push_back(d.number);
        return cv::Mat(d.trail, cv::Rect(0, 0, 4, 4));
    });
    struct AtTheEnd : TrailListener {
        std::vector<bool> inPlace;
        void ended() override {
            for (const char* name : {"img/1", "img/2", "img/3"})
                inPlace.push_back(std::filesystem::exists(std::string(name) + ".jpg") &&
                                  std::filesystem::exists(std::string(name) + "-slow.png"));
        }
    } atTheEnd;
    LoopParts<> parts;  // two changes of size: three trails
    StatusPrinter printer(parts.out.file, parts.err.file);
    parts.camera.scene = [](int i) {
        return movingDotImage(i, i >= 6 && i < 10 ? cv::Size(80, 60) : cv::Size(64, 48));
    };
    parts.camera.budget = 3 + 10;
    parts.camera.step = 100;
    TrailLoop loop({parts.display, folder, nullptr}, {false, true, 0}, {&folder, &atTheEnd, &printer});
    EXPECT_EQ(loop.run(parts.source), 0);
    EXPECT_EQ(atTheEnd.inPlace, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 3}));
    const std::vector<std::string> lines = parts.out.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "closing app");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "img 0") +
                  std::count(lines.begin(), lines.end(), "img 1") +
                  std::count(lines.begin(), lines.end(), "img 2"),
              3);
    EXPECT_FALSE(folder.finalSnapshotLost());
}
