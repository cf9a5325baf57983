#include "Fakes.h"
#include "cvio.h"
#include "trail/TrailGrowth.h"
#include "trail/TrailLoop.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <functional>
#include <limits>

namespace {

constexpr int kSide = 60;

// Image i of a scene where one white pixel walks row by row: every image
// adds exactly one pixel of 255 to a trail.
cv::Mat walkingPixel(int i) {
    cv::Mat image(kSide, kSide, CV_8UC3, cv::Scalar::all(0));
    image.at<cv::Vec3b>((i / kSide) % kSide, i % kSide) = cv::Vec3b(255, 255, 255);
    return image;
}

// A trail loop wired to synthetic devices.
struct Rig {
    SyntheticCamera camera;
    SimulatedClock processorClock;
    SimulatedClock wallClock;
    ScriptedDisplay display;
    MemoryWriter snapshots;
    CapturedStream out;
    CapturedStream err;
    FILE* in = fmemopen(const_cast<char*>("xy"), 2, "r");
    volatile std::sig_atomic_t stop = 0;
    CaptureState capture{camera, processorClock, out.file};
    TrailDevices devices{wallClock, display, snapshots, out.file, err.file, in, &stop};
    TrailLoop loop;

    // configure sets the user's choices before the loop takes them.
    explicit Rig(const std::function<void(TrailDevices&)>& configure = [](TrailDevices&) {})
        : loop((configure(devices), devices)) {}
    ~Rig() { std::fclose(in); }
    // A trail of the given first-channel growth since the last tick, due for a tick.
    void placeTrail(int growth, int32_t frameCounter) {
        loop.imMin = cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0));
        for (auto it = loop.imMin.begin<cv::Vec3b>(); growth > 0; ++it, growth -= 255)
            (*it)[0] = static_cast<uchar>(std::min(growth, 255));
        loop.imOld = cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0));
        loop.frameCounter = frameCounter;
    }
    // Arms the countdown so that the next pass writes a snapshot.
    void armForNextPass() {
        loop.save = true;
        loop.nextInfoTime = std::numeric_limits<int64_t>::max();
    }
};

std::string status(int freq, int frameCounter, int diff, int trackCounter, int save, int saveTimeout) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d", freq,
                  frameCounter, diff, trackCounter, save, saveTimeout);
    return line;
}

}  // namespace

// Eight images a tick, each adding one pixel of 255: 2040 of growth a tick.
// The countdown arms once more than 800 images are merged (tick 101), the
// snapshot is written in the pass of the 300th tick after that, and holds
// exactly the images merged since the start.
TEST(TrailLoop, ScriptedRunPrintsEveryTickAndSnapshotsTheTrail) {
    Rig rig;
    rig.camera.scene = walkingPixel;
    rig.wallClock.step = 125;
    rig.capture.notices = rig.err.file;
    const int ticks = 403, passes = 2 + 8 * ticks;
    rig.camera.budget = 3 + passes;  // start-up takes three images
    EXPECT_EQ(rig.loop.run(rig.capture), 0);

    std::vector<std::string> expected{"setup", "setup done", "captured", status(0, 0, 0, 0, 0, 0)};
    for (int k = 1; k <= ticks; ++k) {
        const bool armed = k >= 101 && k <= 401;
        if (k <= 401)
            expected.push_back(status(8, 8 * k, 2040, 0, armed, armed ? 401 - k : 0));
        else
            expected.push_back(status(8, 8 * (k - 401) - 1, k == 402 ? 7 * 255 : 2040, 1, 0, 0));
        if (k == 401) expected.push_back("img 0");
    }
    expected.insert(expected.end(), {"empty", "closing app"});
    EXPECT_EQ(rig.out.lines(), expected);
    EXPECT_EQ(std::fgetc(rig.in), 'y') << "exactly one character read after \"empty\"";
    EXPECT_EQ(rig.display.shown.size(), 2u * (ticks + 1));
    EXPECT_EQ(rig.display.polls, passes);
    EXPECT_EQ(
        rig.camera.requested[cv::CAP_PROP_FRAME_WIDTH] * rig.camera.requested[cv::CAP_PROP_FRAME_HEIGHT],
        640 * 480);
    EXPECT_EQ(rig.err.text(), "camera delivers 60x60 (asked for 640x480)\n");

    ASSERT_EQ(rig.snapshots.written.size(), 1u);
    EXPECT_EQ(rig.snapshots.written[0].first, "img/1.jpg");
    cv::Mat trail(kSide, kSide, CV_8UC3, cv::Scalar::all(0));
    for (int image = 4; image <= 3 + (2 + 8 * 401); ++image)  // pass n merges image n + 3
        trail.at<cv::Vec3b>(image / kSide, image % kSide) = cv::Vec3b(255, 255, 255);
    EXPECT_EQ(cv::norm(rig.snapshots.written[0].second, trail, cv::NORM_INF), 0.0);
}

// The scripted run crosses the 800-image threshold; this one the growth's.
TEST(TrailLoop, ArmsOnlyWhenTheGrowthExceeds2000) {
    for (const int diff : {2000, 2001}) {
        Rig rig;
        rig.placeTrail(diff, 801);
        rig.loop.pass(rig.capture);
        EXPECT_EQ(rig.out.lines().front(), status(0, 801, diff, 0, diff > 2000, diff > 2000 ? 300 : 0));
    }
}

TEST(TrailLoop, SnapshotNumbersWrapAfter30000AndGoToTheChosenFolder) {
    Rig rig([](TrailDevices& d) { d.snapshotFolder = "night/sky"; });
    rig.placeTrail(0, 10);
    rig.loop.trackCounter = 29999;
    for (int i = 0; i < 2; ++i) {
        rig.armForNextPass();
        rig.loop.pass(rig.capture);
    }
    EXPECT_EQ(rig.out.lines(), (std::vector<std::string>{"img 29999", "img 30000"}));
    EXPECT_EQ(rig.snapshots.written.front().first, "night/sky/30000.jpg");
    EXPECT_EQ(rig.snapshots.written.back().first, "night/sky/0.jpg");
}

TEST(TrailLoop, StopsOnEscOrQInTheLowByteOnlyOrOnAStopRequest) {
    for (const auto& [key, stops] : std::vector<std::pair<int, bool>>{{27, true},
                                                                      {113, true},
                                                                      {0x100000 | 27, true},
                                                                      {0xff00 | 113, true},
                                                                      {-1, false},
                                                                      {'Q', false},
                                                                      {27 << 8, false},
                                                                      {0x10000 | 'w', false}}) {
        Rig rig;
        rig.display.keys = {key};
        rig.loop.pass(rig.capture);
        EXPECT_EQ(rig.loop.stopapp, stops) << key;
    }
    Rig rig;
    rig.stop = 1;
    EXPECT_EQ(rig.loop.run(rig.capture), 0);
    EXPECT_EQ(rig.out.lines(),
              (std::vector<std::string>{"setup", "setup done", "captured", "stopapp", "closing app"}));
}

TEST(TrailLoop, CameraModeChangeWritesTheArmedTrailAndStartsANewOne) {
    Rig rig;
    rig.placeTrail(5000, 900);
    rig.armForNextPass();
    rig.loop.saveTimeout = 42;
    rig.loop.trackCounter = 7;
    const cv::Mat armedTrail = rig.loop.imMin.clone(), larger = movingDotImage(5, {80, 60});
    rig.camera.queued = {larger, cv::Mat(60, 80, CV_8UC1, cv::Scalar(9))};

    rig.loop.pass(rig.capture);
    rig.loop.pass(rig.capture);  // same size, other type; nothing armed
    EXPECT_EQ(rig.out.lines(),
              (std::vector<std::string>{
                  "img 7", "camera image changed size from 64x48 to 80x60, starting a new trail",
                  "camera image changed from 3 channels of 8 bits to 1 channel of 8 bits, "
                  "starting a new trail"}));
    ASSERT_EQ(rig.snapshots.written.size(), 1u);
    EXPECT_EQ(cv::norm(rig.snapshots.written[0].second, armedTrail, cv::NORM_INF), 0.0);
    EXPECT_EQ(rig.loop.frameCounter, 0);
    EXPECT_FALSE(rig.loop.save);
    EXPECT_EQ(rig.loop.saveTimeout, 0);
    EXPECT_EQ(cv::norm(rig.loop.imMin, cv::Mat(60, 80, CV_8UC1, cv::Scalar(9)), cv::NORM_INF), 0.0);
}

TEST(TrailLoop, SixteenBitCameraIsScaledToEightBitsOnce) {
    Rig rig;
    rig.camera.scene = [](int i) {
        cv::Mat image(48, 64, CV_16UC3, cv::Scalar::all(257 * 10));
        image.at<cv::Vec3w>(0, i) = cv::Vec3w(65535, 65535, 65535);
        return image;
    };
    rig.placeTrail(0, 10);
    rig.loop.pass(rig.capture);
    rig.armForNextPass();
    rig.loop.pass(rig.capture);
    ASSERT_EQ(rig.snapshots.written.size(), 1u);
    const cv::Mat& snapshot = rig.snapshots.written[0].second;
    EXPECT_EQ(snapshot.at<cv::Vec3b>(1, 1), cv::Vec3b(10, 10, 10));
    EXPECT_EQ(cv::countNonZero(snapshot.reshape(1) == 255), 2 * 3);
    EXPECT_EQ(rig.err.text(), "camera images have 3 channels of 16 bits: converting them to 8 bits\n");
}

// What a user asked for beyond the defaults: a snapshot on the way out, a
// minimum of free space, and failures named.
TEST(TrailLoop, SaveOnExitMinimumFreeSpaceAndWriteFailures) {
    const auto saveOnExit = [](TrailDevices& d) { d.saveOnExit = true; };
    Rig onExit(saveOnExit), nothingMerged(saveOnExit);
    onExit.camera.budget = 6;
    onExit.loop.run(onExit.capture);
    const std::vector<std::string> lines = onExit.out.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"empty", "img 0", "closing app"}));
    cv::Mat trail = movingDotImage(4);
    for (int i = 5; i <= 6; ++i)
        cv::max(trail, movingDotImage(i), trail);
    ASSERT_EQ(onExit.snapshots.written.size(), 1u);
    EXPECT_EQ(cv::norm(onExit.snapshots.written[0].second, trail, cv::NORM_INF), 0.0);
    nothingMerged.camera.budget = 4;
    nothingMerged.loop.run(nothingMerged.capture);
    EXPECT_TRUE(nothingMerged.snapshots.written.empty());

    Rig full([](TrailDevices& d) { d.minFreeBytes = 100 << 20; });
    full.snapshots.free = 99 << 20;
    full.placeTrail(0, 10);
    full.armForNextPass();
    full.loop.pass(full.capture);
    EXPECT_TRUE(full.snapshots.written.empty());
    EXPECT_EQ(full.out.text(), "");
    EXPECT_EQ(full.err.text(), "snapshot skipped: 99 MB free for img, less than the 100 MB asked\n");
    EXPECT_FALSE(full.loop.save);
    EXPECT_EQ(full.loop.frameCounter + full.loop.trackCounter, 0);

    Rig failing;
    failing.snapshots.failure = "No space left on device";
    failing.placeTrail(0, 10);
    failing.armForNextPass();
    failing.loop.pass(failing.capture);
    EXPECT_EQ(failing.err.text(), "cannot write snapshot img/1.jpg: No space left on device\n");
    EXPECT_EQ(failing.loop.trackCounter, 1);
}

TEST(TrailLoop, ReconnectWaitsForTheCameraAndKeepsTheTrail) {
    const auto reconnect = [](TrailDevices& d) { d.reconnectMs = 5000; };
    Rig rig(reconnect), stopped(reconnect);
    rig.wallClock.step = 100;
    rig.camera.budget = 5;
    rig.camera.budgetAfterReopen = 3;
    rig.camera.scene = [&rig](int i) {
        if (i == 9) rig.stop = 1;
        return movingDotImage(i, i < 6 ? cv::Size(64, 48) : cv::Size(80, 60));
    };
    EXPECT_EQ(rig.loop.run(rig.capture), 0);
    const std::vector<std::string> lines = rig.out.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 6, lines.end()),
              (std::vector<std::string>{"camera delivered no image, trying to reopen it every 5 s",
                                        "camera is back", status(1, 1, 765, 0, 0, 0),
                                        "camera image changed size from 64x48 to 80x60, starting a new trail",
                                        "stopapp", "closing app"}));
    EXPECT_EQ(rig.camera.reopens, 1);
    EXPECT_GE(rig.display.polls, 50) << "waits 5 s before trying again";

    stopped.camera.budget = 3;
    stopped.display.keys = {-1, -1, 'q'};
    EXPECT_EQ(stopped.loop.run(stopped.capture), 0);
    EXPECT_EQ(stopped.out.lines().end()[-2], "stopapp");
    EXPECT_EQ(stopped.camera.reopens, 0);
}

TEST(TrailGrowth, EqualsTheSaturatedSubtractionAndSumAndRefreshesThePrevious) {
    cv::RNG random(7);
    for (const int type : {CV_8UC3, CV_8UC1, CV_8UC4}) {
        for (const cv::Size size : {cv::Size(640, 480), cv::Size(37, 11)}) {
            cv::Mat trail(size, type), previous(size, type), frame(size, type), grown, merged;
            for (cv::Mat* image : {&trail, &previous, &frame})  // previous often brighter than the trail
                random.fill(*image, cv::RNG::UNIFORM, 0, 256);
            cv::subtract(trail, previous, grown);
            cv::max(trail, frame, merged);
            const auto sum = static_cast<int32_t>(cv::sum(grown)[0]);
            cv::Mat mergingTrail = trail.clone(), mergingPrevious = previous.clone();
            EXPECT_EQ(firstChannelGrowth(trail, previous), sum);
            EXPECT_EQ(cv::norm(trail, previous, cv::NORM_INF), 0.0);
            EXPECT_EQ(firstChannelGrowthAndMerge(mergingTrail, mergingPrevious, frame), sum);
            EXPECT_EQ(cv::norm(mergingPrevious, trail, cv::NORM_INF), 0.0);
            EXPECT_EQ(cv::norm(mergingTrail, merged, cv::NORM_INF), 0.0);
        }
    }
    // 8.6 million first-channel pixels of 255 sum past the 32-bit range.
    const cv::Mat huge(2100, 4096, CV_8UC3, cv::Scalar(255, 0, 0));
    cv::Mat black(huge.size(), huge.type(), cv::Scalar::all(0));
    EXPECT_EQ(firstChannelGrowth(huge, black), std::numeric_limits<int32_t>::max());
}
