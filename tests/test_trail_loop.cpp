#include "Fakes.h"
#include "cvio.h"
#include "platform/DeviceAdapters.h"
#include "trail/TrailLoop.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <limits>

namespace {

// Keeps a copy of every snapshot and stores it as a real file.
class KeepingWriter : public SnapshotWriter {
public:
    ImageFileWriter files;
    std::vector<std::pair<std::string, cv::Mat>> written;
    bool write(const std::string& path, const cv::Mat& image) override {
        written.emplace_back(path, image.clone());
        return files.write(path, image);
    }
};

// A trail loop wired to synthetic devices, run inside an empty directory.
struct Rig {
    TempWorkingDir dir;
    SyntheticCamera camera;
    SimulatedClock processorClock;
    SimulatedClock wallClock;
    ScriptedDisplay display;
    KeepingWriter snapshots;
    CapturedStream out;
    CapturedStream err;
    FILE* in = fmemopen(const_cast<char*>(stdinText), 2, "r");
    CaptureState capture{camera, processorClock, out.file()};
    TrailLoop loop{TrailDevices{wallClock, display, snapshots, out.file(), err.file(), in}};
    static constexpr const char* stdinText = "xy";

    ~Rig() { std::fclose(in); }

    // A trail that has been accumulating for a while: the next pass ticks.
    void placeTrail(const cv::Mat& trail, int32_t frameCounter) {
        loop.imMin = trail.clone();
        loop.imOld = cv::Mat(trail.size(), trail.type(), cv::Scalar::all(0));
        loop.frameCounter = frameCounter;
        loop.nextInfoTime = 0;
    }
    std::string lastLine() { return out.lines().back(); }
};

// An image whose blue channel sums to exactly `sum`.
cv::Mat blueSum(int sum) {
    cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(0));
    for (auto it = image.begin<cv::Vec3b>(); sum > 0; ++it) {
        (*it)[0] = static_cast<uchar>(std::min(sum, 255));
        sum -= (*it)[0];
    }
    return image;
}

std::string status(int freq, int frameCounter, int diff, int trackCounter, int save, int saveTimeout) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d", freq,
                  frameCounter, diff, trackCounter, save, saveTimeout);
    return line;
}

}  // namespace

TEST(TrailLoop, TrailStartsFromTheFourthImageAndFirstTickIsAllZero) {
    Rig rig;
    for (int i = 1; i <= 6; ++i)
        rig.camera.queued.push_back(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(i)));
    rig.camera.budget = 0;

    setup(rig.capture);
    captureVideoIn(rig.capture);
    EXPECT_EQ(rig.capture.framecounter, 2);

    ASSERT_TRUE(rig.loop.pass(rig.capture));
    EXPECT_EQ(rig.loop.imMin.at<cv::Vec3b>(0, 0)[0], 4);
    EXPECT_EQ(rig.loop.imOld.at<cv::Vec3b>(0, 0)[0], 4);
    EXPECT_EQ(rig.loop.frameCounter, 0);
    EXPECT_EQ(rig.loop.freq, 0);
    EXPECT_TRUE(rig.display.shown.empty()) << "no tick without a trail";
    EXPECT_EQ(rig.out.text(), "setup\nsetup done\n");

    ASSERT_TRUE(rig.loop.pass(rig.capture));
    EXPECT_EQ(rig.lastLine(), status(0, 0, 0, 0, 0, 0));
    EXPECT_EQ(rig.display.shown, (std::vector<std::string>{"frame", "imMin"}));
    EXPECT_EQ(rig.display.lastShown["frame"].at<cv::Vec3b>(0, 0)[0], 5);
    EXPECT_EQ(rig.display.lastShown["imMin"].at<cv::Vec3b>(0, 0)[0], 4);
    EXPECT_EQ(rig.loop.frameCounter, 1);
    EXPECT_EQ(rig.loop.nextInfoTime, rig.wallClock.value + 1000);
    EXPECT_EQ(rig.display.polls, 2);
}

TEST(TrailLoop, ArmsOnlyPastBothThresholdsAndNeverRearms) {
    struct Case {
        int32_t frameCounter;
        int diff;
        bool arms;
    };
    for (const Case& c : {Case{800, 2001, false}, Case{801, 2000, false}, Case{801, 2001, true}}) {
        Rig rig;
        rig.placeTrail(blueSum(c.diff), c.frameCounter);
        rig.loop.pass(rig.capture);
        EXPECT_EQ(rig.loop.save, c.arms) << c.frameCounter << " " << c.diff;
        EXPECT_EQ(rig.out.lines().front(), status(0, c.frameCounter, c.diff, 0, c.arms, c.arms ? 300 : 0));
    }

    Rig pending;
    pending.placeTrail(blueSum(9000), 5000);
    pending.loop.save = true;
    pending.loop.saveTimeout = 7;
    pending.loop.pass(pending.capture);
    EXPECT_EQ(pending.loop.saveTimeout, 6);
    EXPECT_EQ(pending.out.lines().front(), status(0, 5000, 9000, 0, 1, 6));
}

TEST(TrailLoop, MovingDotArmsAndWritesSnapshotOnThe300thTick) {
    Rig rig;
    rig.wallClock.step = 250;  // an info tick every fourth pass
    setup(rig.capture);
    captureVideoIn(rig.capture);
    for (int passes = 0; rig.snapshots.written.empty(); ++passes) {
        ASSERT_LT(passes, 5000);
        ASSERT_TRUE(rig.loop.pass(rig.capture));
    }

    struct Status {
        int freq, frameCounter, diff, trackCounter, save, saveTimeout;
    };
    std::vector<Status> ticks;
    const auto lines = rig.out.lines();
    for (const std::string& line : lines) {
        Status s{};
        if (std::sscanf(line.c_str(),
                        "freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d",
                        &s.freq, &s.frameCounter, &s.diff, &s.trackCounter, &s.save, &s.saveTimeout) == 6)
            ticks.push_back(s);
    }
    // The dot gains four new columns of blue between ticks: 12 pixels of 255.
    const auto armed = std::find_if(ticks.begin(), ticks.end(), [](const Status& s) { return s.save == 1; });
    ASSERT_NE(armed, ticks.end());
    EXPECT_EQ(armed->frameCounter, 804);
    EXPECT_GT(armed->diff, 2000);
    EXPECT_EQ(armed->saveTimeout, 300);
    EXPECT_EQ((armed - 1)->frameCounter, 800) << "800 merged images are not enough";
    EXPECT_EQ(ticks.end() - armed, 301) << "the arming tick and 300 countdown ticks";
    EXPECT_EQ(ticks.back().save, 1);
    EXPECT_EQ(ticks.back().saveTimeout, 0);
    EXPECT_EQ(lines.back(), "img 0") << "written in the pass of the last tick";
    EXPECT_EQ(rig.snapshots.written[0].first, "img/1.jpg");

    const cv::Mat fromDisk = cv::imread("img/1.jpg");
    ASSERT_FALSE(fromDisk.empty());
    EXPECT_GT(cv::PSNR(fromDisk, rig.snapshots.written[0].second), 30.0);
    EXPECT_EQ(cv::norm(rig.loop.imMin, rig.capture.frame, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(rig.loop.imOld, rig.capture.frame, cv::NORM_INF), 0.0);
    EXPECT_EQ(rig.loop.frameCounter, 0);
    EXPECT_FALSE(rig.loop.save);
    EXPECT_EQ(rig.loop.trackCounter, 1);
    EXPECT_EQ(listDirectory("img"), std::vector<std::string>{"1.jpg"});
    EXPECT_EQ(rig.err.text(), "");
}

TEST(TrailLoop, SnapshotNumbersWrapAfter30000) {
    Rig rig;
    rig.placeTrail(movingDotImage(3), 10);
    rig.loop.nextInfoTime = std::numeric_limits<int64_t>::max();
    rig.loop.trackCounter = 29999;
    rig.loop.save = true;
    rig.loop.pass(rig.capture);
    EXPECT_EQ(rig.lastLine(), "img 29999");
    rig.loop.save = true;
    rig.loop.pass(rig.capture);
    EXPECT_EQ(rig.lastLine(), "img 30000");
    EXPECT_EQ(rig.loop.trackCounter, 0);
    EXPECT_STREQ(rig.loop.buf, "img/0.jpg");
    EXPECT_EQ(listDirectory("img"), (std::vector<std::string>{"0.jpg", "30000.jpg"}));
}

TEST(TrailLoop, StopsOnEscOrQInTheLowByteOnly) {
    for (int key : {27, 113, 0x100000 | 27, 0x10000 | 113, 0xff00 | 113}) {
        Rig rig;
        rig.display.keys = {key};
        rig.loop.pass(rig.capture);
        EXPECT_TRUE(rig.loop.stopapp) << key;
        EXPECT_EQ(rig.lastLine(), "stopapp");
    }
    for (int key : {-1, int{'a'}, int{'Q'}, 27 << 8, 0x10000 | 'w'}) {
        Rig rig;
        rig.display.keys = {key};
        rig.loop.pass(rig.capture);
        EXPECT_FALSE(rig.loop.stopapp) << key;
    }
}

TEST(TrailLoop, EmptyImageReadsOneCharacterAndEnds) {
    Rig rig;
    rig.camera.budget = 5;
    EXPECT_EQ(rig.loop.run(rig.capture), 0);
    EXPECT_EQ(rig.out.lines(), (std::vector<std::string>{"setup", "setup done", "captured",
                                                         status(0, 0, 0, 0, 0, 0), "empty", "closing app"}));
    EXPECT_EQ(std::fgetc(rig.in), 'y') << "exactly one character consumed";
}

// Creating "img" itself is covered by the countdown test, which runs in an empty directory.
TEST(TrailLoop, ReportsSnapshotWritesThatFailAndCarriesOn) {
    Rig blocked;
    std::ofstream("img") << "a file where the directory should be";
    blocked.placeTrail(movingDotImage(3), 10);
    blocked.loop.save = true;
    blocked.loop.pass(blocked.capture);
    EXPECT_EQ(blocked.err.text(), "cannot write snapshot img/1.jpg\n");
    EXPECT_EQ(blocked.lastLine(), "img 0");
    EXPECT_EQ(blocked.loop.trackCounter, 1);
    EXPECT_EQ(blocked.loop.frameCounter, 0);
    EXPECT_FALSE(blocked.loop.save);
}

TEST(TrailLoop, CameraModeSwitchStartsANewTrail) {
    Rig rig;
    rig.placeTrail(blueSum(5000), 900);
    rig.loop.save = true;
    rig.loop.saveTimeout = 42;
    rig.loop.trackCounter = 7;
    rig.loop.nextInfoTime = std::numeric_limits<int64_t>::max();
    const cv::Mat larger = movingDotImage(5, {80, 60});
    rig.camera.queued = {larger, cv::Mat(48, 64, CV_8UC1, cv::Scalar(9))};

    ASSERT_TRUE(rig.loop.pass(rig.capture));
    EXPECT_EQ(rig.lastLine(), "camera image changed to 80x60, starting a new trail");
    EXPECT_EQ(rig.loop.frameCounter, 0);
    EXPECT_FALSE(rig.loop.save);
    EXPECT_EQ(rig.loop.saveTimeout, 0);
    EXPECT_EQ(rig.loop.trackCounter, 7);
    EXPECT_EQ(cv::norm(rig.loop.imMin, larger, cv::NORM_INF), 0.0);

    ASSERT_TRUE(rig.loop.pass(rig.capture));  // same size, other type
    EXPECT_EQ(rig.loop.imMin.type(), CV_8UC1);
    EXPECT_EQ(rig.lastLine(), "camera image changed to 64x48, starting a new trail");
}

TEST(TrailLoop, FirstChannelSumSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(firstChannelSum(blueSum(2001)), 2001);
    // 8.6 million blue pixels of 255 sum past the 32-bit range.
    const cv::Mat huge(2100, 4096, CV_8UC3, cv::Scalar(255, 0, 0));
    EXPECT_EQ(firstChannelSum(huge), std::numeric_limits<int32_t>::max());
}
