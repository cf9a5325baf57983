#include "Fakes.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "segments/SegmentOptions.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

const int64_t kAt2200 = 1796680800000;  // 2026-12-07T22:00:00Z

// One image a second: a background level and a star walking along row 10;
// the images of 22:02 are 20 levels hazier.
cv::Mat imageAt(int64_t millis) {
    const int second = static_cast<int>((millis - kAt2200) / 1000);
    const int background = second >= 120 && second < 180 ? 30 : 10;
    cv::Mat image(24, 200, CV_8UC3, cv::Scalar::all(background));
    image.at<cv::Vec3b>(10, second % 200) = cv::Vec3b(220, 210, 200);
    return image;
}

// Images from 22:00:30 to 22:03:10, one a second, those at 22:01:15 and
// 22:01:16 kept out as flashes.
void watch(SegmentWriter& writer, int from = 30, int to = 190) {
    for (int second = from; second <= to; ++second) {
        const int64_t millis = kAt2200 + second * 1000LL;
        const Frame frame{imageAt(millis), millis};
        if (second == 75 || second == 76) writer.keptOut({frame, 0.5});
        writer.framed(frame);
    }
    writer.ended();
}

cv::Mat maximumOf(int from, int to) {
    cv::Mat maximum = imageAt(kAt2200 + from * 1000LL);
    for (int second = from + 1; second <= to; ++second)
        if (second != 75 && second != 76) cv::max(maximum, imageAt(kAt2200 + second * 1000LL), maximum);
    return maximum;
}

}  // namespace

// Segments on the minute grid, their index with counts, background and haze,
// and compose's choice.
TEST(Segments, TheNightInSegmentsAndComposedAgain) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    {
        SegmentWriter writer("img", 60, 10, err.file);
        watch(writer);
    }
    const std::string folder = "img/segments-2026-12-07";
    const auto entries = readSegmentIndex(folder);
    ASSERT_TRUE(entries) << entries.reason();
    ASSERT_EQ(entries->size(), 4u);
    const std::vector<std::string> files{"20261207T220000Z.png", "20261207T220100Z.png",
                                         "20261207T220200Z.png", "20261207T220300Z.png"};
    for (size_t i = 0; i < 4; ++i) {
        const SegmentEntry& e = (*entries)[i];
        EXPECT_EQ(e.file, files[i]);
        EXPECT_EQ(e.startMillis, kAt2200 + static_cast<int64_t>(i) * 60000);
        EXPECT_EQ(e.endMillis, e.startMillis + 60000);
        EXPECT_EQ(e.excluded, i == 2 ? "hazy" : "") << i;
        EXPECT_EQ(e.background, i == 2 ? 30 : 10) << i;
    }
    EXPECT_EQ((*entries)[0].images, 30);
    EXPECT_EQ((*entries)[1].images, 58);
    EXPECT_EQ((*entries)[1].rejected, 2);
    EXPECT_EQ((*entries)[3].images, 11);
    EXPECT_TRUE(samePixels(cv::imread(folder + "/" + files[1], cv::IMREAD_UNCHANGED), maximumOf(60, 119)));
    EXPECT_EQ(err.text(), "");

    // compose's choice: exactly the images it names. (The star trail, and
    // compose's other choices through its command line, are checked end to end.)
    CapturedStream said;
    ComposeChoice choice{kAt2200 + 60000, std::nullopt, {{kAt2200 + 170000, kAt2200 + 185000}}, true};
    EXPECT_EQ(runCompose({true, folder, "c.png", choice}, said.file, said.file), 0);
    EXPECT_TRUE(samePixels(cv::imread("c.png", cv::IMREAD_UNCHANGED), maximumOf(60, 119)));
    EXPECT_EQ(said.text(),
              "composed 1 segment into c.png; left out: 2 in an excluded range, 1 outside the times\n");
}

// With the sky's quality measured (here: a cloudy minute at 22:01, and one at
// 22:03 measured before the night had a reference, so not clear), each
// segment carries its stars and clear; --min-clear leaves the cloudy one
// out of the star trail, and compose --min-clear leaves out exactly what
// excluding its minute by hand does.
TEST(Segments, CloudySegmentsLeftOutByTheirClearSky) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    struct Sky : SkyReadings {
        std::optional<SkyMedians> between(int64_t from, int64_t) const override {
            if (from < kAt2200) return std::nullopt;
            if (from == kAt2200 + 180000) return SkyMedians{0, std::nullopt};  // no reference yet: not clear
            return from == kAt2200 + 60000 ? SkyMedians{40.0, 0.3} : SkyMedians{120.0, 1.0};
        }
        std::string nightJson() const override { return "[]"; }
    } sky;
    CapturedStream err;
    for (const bool minClear : {true, false}) {  // the night without --min-clear is composed below
        std::filesystem::remove_all("img");
        {
            SegmentWriter writer("img", 60, 10, err.file, &sky, minClear ? std::optional(0.5) : std::nullopt);
            watch(writer);
        }
        const auto entries = readSegmentIndex("img/segments-2026-12-07");
        ASSERT_TRUE(entries && entries->size() == 4u);
        EXPECT_TRUE((*entries)[1].stars == 40.0 && (*entries)[1].clear == 0.3 && (*entries)[0].clear == 1.0);
        EXPECT_EQ((*entries)[1].excluded, minClear ? "cloudy" : "");
        EXPECT_TRUE((*entries)[3].measured && !(*entries)[3].clear);
        EXPECT_EQ((*entries)[3].excluded, minClear ? "cloudy" : "") << "a clear sky not measured";
        CapturedStream out;
        ASSERT_EQ(runCompose({true, "img/segments-2026-12-07", "all.jpg", {}}, out.file, out.file), 0);
        EXPECT_EQ(textOf("all.jpg") == textOf("img/startrail-2026-12-07.jpg"), true);
        EXPECT_EQ(out.text().find("2 cloudy") != std::string::npos, minClear) << out.text();
    }
    CapturedStream said;
    ComposeChoice byClear, byHand;
    byClear.minClear = 0.8,
    byHand.excludedRanges = {{kAt2200 + 60000, kAt2200 + 120000}, {kAt2200 + 180000, kAt2200 + 240000}};
    for (const auto& [name, choice] : {std::pair{"clear.png", byClear}, {"hand.png", byHand}})
        ASSERT_EQ(runCompose({true, "img/segments-2026-12-07", name, choice}, said.file, said.file), 0);
    EXPECT_EQ(textOf("clear.png"), textOf("hand.png"));
    EXPECT_NE(said.text().find("into clear.png; left out: 1 hazy, 2 cloudy\n"), std::string::npos)
        << said.text();
    EXPECT_EQ(err.text(), "");
}

// A run that starts again in the same night adds to the segment it was in.
TEST(Segments, ARestartAddsToTheNightsSegments) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    {
        SegmentWriter first("img", 60, 10, err.file);
        watch(first, 30, 70);
    }
    {
        SegmentWriter second("img", 60, 10, err.file);
        watch(second, 72, 100);
    }
    const auto entries = readSegmentIndex("img/segments-2026-12-07");
    ASSERT_TRUE(entries && entries->size() == 2u);
    EXPECT_EQ((*entries)[1].images, 11 + 27);
    EXPECT_EQ((*entries)[1].rejected, 2);
    cv::Mat minute = maximumOf(60, 70);
    cv::max(minute, maximumOf(72, 100), minute);
    EXPECT_TRUE(
        samePixels(cv::imread("img/segments-2026-12-07/20261207T220100Z.png", cv::IMREAD_UNCHANGED), minute));
    cv::Mat all;
    cv::max(maximumOf(30, 70), maximumOf(72, 100), all);
    CapturedStream out;
    EXPECT_EQ(runCompose({true, "img/segments-2026-12-07", "again.jpg", {}}, out.file, out.file), 0);
    EXPECT_EQ(textOf("again.jpg"), textOf("img/startrail-2026-12-07.jpg"));
    // A camera of another size in the same minute: what is there stays, and it is said.
    {
        SegmentWriter third("img", 60, 10, err.file);
        third.framed({cv::Mat(12, 100, CV_8UC3, cv::Scalar::all(255)), kAt2200 + 101000});
        third.ended();
    }
    EXPECT_TRUE(
        samePixels(cv::imread("img/segments-2026-12-07/20261207T220100Z.png", cv::IMREAD_UNCHANGED), minute));
    EXPECT_EQ(err.text(),
              "segment 20261207T220100Z.png holds images of another size: its later images are left out\n");
    // A 16-bit camera's segment (--depth 16) keeps every level; its
    // background is in 8-bit levels, as the haze margin.
    {
        SegmentWriter deep("img", 60, 10, err.file);
        cv::Mat first(12, 16, CV_16UC1, cv::Scalar(20 * 257)), second = first.clone();
        first.at<uint16_t>(3, 4) = 40000, second.at<uint16_t>(3, 5) = 1000;
        deep.framed({first, kAt2200 + 3600000}), deep.framed({second, kAt2200 + 3601000});
        deep.ended();
        const cv::Mat written =
            cv::imread("img/segments-2026-12-07/20261207T230000Z.png", cv::IMREAD_UNCHANGED);
        EXPECT_TRUE(samePixels(written, cv::max(first, second)));
        EXPECT_EQ(readSegmentIndex("img/segments-2026-12-07")->back().background, 20);
    }
    EXPECT_EQ(SegmentWriter::segmentStart(-1, 60), -60000);
    EXPECT_EQ(SegmentWriter::segmentStart(kAt2200 + 59999, 60), kAt2200);
    EXPECT_EQ(segmentName(kAt2200 + 59999), "20261207T220059Z.png");
    EXPECT_EQ(segmentTimeOf("20261207T220100Z.png"), kAt2200 + 60000);
}

// A segment left out by hand: the index says so, the star trail is composed
// again without it, as compose makes it.
TEST(Segments, ASegmentLeftOutByHand) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    CapturedStream err;
    {
        SegmentWriter writer("img", 60, 10, err.file);
        for (int second = 30; second <= 125; ++second)
            writer.framed({imageAt(kAt2200 + second * 1000LL), kAt2200 + second * 1000LL});
        // The first two segments are written (the third is open): wait for the index.
        for (int i = 0; i < 3000 && writer.indexJson().find("20261207T220100Z") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(writer.setExcluded("20261207T215900Z.png", true)) << "not a segment of the night";
        // A burst of edits: the latest of each counts.
        for (int i = 0; i <= 1500; ++i)
            EXPECT_TRUE(writer.setExcluded("20261207T220000Z.png", i % 2 == 0));
        writer.ended();
        EXPECT_NE(writer.indexJson().find("\"excluded\":\"by hand\""), std::string::npos);
    }
    const auto entries = readSegmentIndex("img/segments-2026-12-07");
    ASSERT_TRUE(entries && entries->size() == 3u);
    EXPECT_EQ((*entries)[0].excluded, "by hand");
    CapturedStream out;
    EXPECT_EQ(runCompose({true, "img/segments-2026-12-07", "again.jpg", {}}, out.file, out.file), 0);
    EXPECT_EQ(out.text(), "composed 1 segment into again.jpg; left out: 1 hazy, 1 by hand\n");
    EXPECT_EQ(textOf("again.jpg"), textOf("img/startrail-2026-12-07.jpg"));
}

// An index a run cannot trust (edited by hand, another version's, a power
// cut): nothing it holds is dropped in silence, nothing is read out of
// bounds, and a run or compose never hangs on it.
TEST(Segments, AnIndexItCannotTrust) {
    TempWorkingDir dir;
    LocalTimeIsUtc utc;
    const std::string folder = "img/segments-2026-12-07", index = folder + "/index.json";
    const auto nightBefore = [&] {
        std::filesystem::remove_all("img");
        CapturedStream quiet;
        SegmentWriter writer("img", 60, 10, quiet.file);
        watch(writer, 30, 130);
        return textOf(index);
    };
    const auto edited = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    // Unreadable: kept aside whole, said, and a new index starts.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"excluded\":null", "\"excluded\":5"}, {"\"background\":10", "\"background\":1e300"}}) {
        const std::string before = edited(nightBefore(), from, to);
        std::ofstream(index) << before;
        std::ofstream(folder + "/.partial-20261207T220300Z.png") << "cut short";
        CapturedStream err;
        {
            SegmentWriter writer("img", 60, 10, err.file);
            watch(writer, 250, 260);
        }
        EXPECT_EQ(err.text(), index + " cannot be read (a malformed segment): kept as " + folder +
                                  "/index-unreadable.json, a new index starts\n")
            << to;
        EXPECT_EQ(textOf(folder + "/index-unreadable.json"), before);
        EXPECT_EQ(readSegmentIndex(folder)->size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(folder + "/.partial-20261207T220300Z.png"));
    }
    // An entry named as the next segment but of another time, and a run
    // with a longer span: the entries stay as they are, the images of
    // those spans are left out, once said.
    const std::string shifted =
        edited(nightBefore(), "2026-12-07T22:02:00.000Z\",\"end\"", "2026-12-07T21:02:00.000Z\",\"end\"");
    std::ofstream(index) << shifted;
    CapturedStream err;
    {
        SegmentWriter writer("img", 60, 10, err.file);
        watch(writer, 140, 150);
    }
    {
        SegmentWriter longer("img", 180, 10, err.file);
        watch(longer, 30, 40);
    }
    EXPECT_EQ(
        err.text(),
        "segment 20261207T220200Z.png spans another time in the index: its later images are left out\n"
        "segment 20261207T220000Z.png spans another time in the index: its later images are left out\n");
    EXPECT_EQ(textOf(index), shifted);

    // compose: a reason it does not know is counted, an entry listed twice
    // taken once, its own segments never written over, a FIFO never waited on.
    std::string twice = edited(nightBefore(), "\"excluded\":null", "\"excluded\":\"foggy\"");
    const size_t last = twice.rfind("\n{");
    twice.insert(last, twice.substr(last, twice.rfind('}') + 1 - last) + ",");
    std::ofstream(index) << twice;
    CapturedStream out, said;
    EXPECT_EQ(runCompose({true, folder, "c.jpg", {}}, out.file, said.file), 0);
    EXPECT_EQ(out.text(), "composed 1 segment into c.jpg; left out: 1 hazy, 1 listed twice, 1 foggy\n");
    const std::string own = folder + "/20261207T220100Z.png", ownBytes = textOf(own);
    EXPECT_EQ(runCompose({true, folder, own, {}}, out.file, said.file), 1);
    EXPECT_EQ(textOf(own), ownBytes);
    std::filesystem::remove(index);
    ASSERT_EQ(mkfifo(index.c_str(), 0600), 0);
    EXPECT_EQ(runCompose({true, folder, "c.jpg", {}}, out.file, said.file), 1);
    EXPECT_EQ(said.lines(2),
              (std::vector<std::string>{
                  "trailcam: " + own + " is a segment of " + folder + ": write the composition elsewhere",
                  "trailcam: " + folder + " has no readable index.json"}));
}
