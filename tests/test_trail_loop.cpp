#include "LoopParts.h"
#include "trail/TimeMap.h"
#include "trail/TrailGrowth.h"
#include "views/StatusPrinter.h"
#include "views/Windows.h"

#include <gtest/gtest.h>

#include <set>

#include <limits>
#include <tuple>

namespace {

using Lines = std::vector<std::string>;

// The loop with what a user sees of it: the console lines, the windows and
// the snapshots it makes.
struct Rig : LoopParts<> {
    StatusPrinter printer{out.file, err.file};
    Windows windows{display, nullptr};
    TrailLoop loop;

    explicit Rig(TrailChoices choices = {}, FILE* otherTerminal = nullptr)
        : loop(inputs(otherTerminal), choices, {&printer, &snapshots, &windows}) {}
    // A trail of the given first-channel growth since the last tick, due for a tick.
    void placeTrail(int growth, int32_t frameCounter) {
        TrailState state = loop.state();
        state.imMin = cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0));
        for (auto it = state.imMin.begin<cv::Vec3b>(); growth > 0; ++it, growth -= 255)
            (*it)[0] = static_cast<uchar>(std::min(growth, 255));
        state.imOld = cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0));
        state.frameCounter = frameCounter;
        loop.setState(state);
    }
    void change(const std::function<void(TrailState&)>& edit) {
        TrailState state = loop.state();
        edit(state);
        loop.setState(state);
    }
    // A pass in which an armed countdown runs out: it makes a snapshot.
    void snapshotPass() {
        change([](TrailState& s) { s.save = true, s.nextInfoTime = std::numeric_limits<int64_t>::max(); });
        loop.pass(source);
    }
};

std::string status(int freq, int frameCounter, int diff, int trackCounter, int save, int saveTimeout) {
    return cv::format("freq=%d  frameCounter=%d  diff=%d  trackCounter=%d  save=%d  saveTimeout=%d", freq,
                      frameCounter, diff, trackCounter, save, saveTimeout);
}

}  // namespace

// A white pixel walks row by row over a 60 x 60 scene, eight images a tick:
// 2040 of growth a tick. The countdown arms once more than 800 images are
// merged (tick 101), the snapshot is written in the pass of the 300th tick
// after that, and holds exactly the images merged since the start.
TEST(TrailLoop, ScriptedRunPrintsEveryTickAndSnapshotsTheTrail) {
    Rig rig;
    const auto pixelOf = [](int i) { return cv::Point(i % 60, i / 60 % 60); };
    rig.camera.scene = [&pixelOf](int i) {
        cv::Mat image(60, 60, CV_8UC3, cv::Scalar::all(0));
        return image.at<cv::Vec3b>(pixelOf(i)) = cv::Vec3b::all(255), image;
    };
    rig.camera.step = 125;
    const int ticks = 403, passes = 2 + 8 * ticks;
    rig.camera.budget = 3 + passes;  // start-up takes three images
    EXPECT_EQ(rig.loop.run(rig.source), 0);

    Lines expected{"setup", "setup done", "captured", status(0, 0, 0, 0, 0, 0)};
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
    EXPECT_EQ(std::fgetc(rig.terminal), 'y') << "exactly one character read after \"empty\"";
    EXPECT_EQ(rig.display.shown.size(), 2u * (ticks + 1));
    EXPECT_EQ(rig.display.polls, passes);
    EXPECT_EQ(rig.camera.asked.size, cv::Size(640, 480));
    EXPECT_EQ(rig.err.text(), "camera delivers 60x60 (asked for 640x480)\n");

    ASSERT_EQ(rig.snapshots.made.size(), 1u);
    EXPECT_EQ(rig.snapshots.made[0].number, 1);
    cv::Mat trail(60, 60, CV_8UC3, cv::Scalar::all(0));
    for (int image = 4; image <= 3 + (2 + 8 * 401); ++image)  // pass n merges image n + 3
        trail.at<cv::Vec3b>(pixelOf(image)) = cv::Vec3b::all(255);
    EXPECT_TRUE(samePixels(rig.snapshots.made[0].trail, trail));
}

TEST(TrailLoop, ArmsAboveAGrowthOf2000AndSnapshotNumbersWrapAfter30000) {
    for (const int diff : {2000, 2001}) {
        Rig rig;
        rig.placeTrail(diff, 801);
        rig.loop.pass(rig.source);
        EXPECT_EQ(rig.out.lines(1)[0], status(0, 801, diff, 0, diff > 2000, diff > 2000 ? 300 : 0));
    }
    Rig rig;
    rig.placeTrail(0, 10);
    rig.change([](TrailState& s) { s.trackCounter = 29999; });
    rig.snapshotPass();
    rig.snapshotPass();
    EXPECT_EQ(rig.out.lines(), (Lines{"img 29999", "img 30000"}));
    EXPECT_EQ(rig.snapshots.made.front().number, 30000);
    EXPECT_EQ(rig.snapshots.made.back().number, 0);
}

// A snapshot never replaces a file: taken numbers are passed over, and only
// when every number is taken does the wrap overwrite the next one.
TEST(TrailLoop, NumberingPassesOverTakenNumbers) {
    const auto from = [](int first, int last) {
        return [first, last](int n) { return n >= first && n <= last; };
    };
    for (const auto& [last, taken, next] :
         std::vector<std::tuple<int, std::function<bool(int)>, int>>{{5, from(6, 20), 21},
                                                                     {29999, from(30000, 30000), 0},
                                                                     {30000, from(0, 99), 100},
                                                                     {1234, from(0, 30000), 1235}})
        EXPECT_EQ(TrailLoop::nextSnapshotNumber(last, taken), next) << last;
    // 5.jpg newest by time, 6.jpg to 20.jpg older: a new run goes on after 20.
    Rig rig;
    for (int n = 6; n <= 20; ++n)
        rig.snapshots.present.insert(n);
    EXPECT_EQ(rig.loop.continueNumberingAfter(5), 20);
    rig.snapshots.present.insert(21);  // put there by hand since
    rig.placeTrail(0, 10);
    rig.snapshotPass();
    EXPECT_EQ(rig.out.lines(), (Lines{"img 21"}));
    EXPECT_EQ(rig.snapshots.made.back().number, 22);
    // Every number taken: the plain next one is replaced, unless the store
    // keeps them all; then no snapshot, and the numbering stays.
    Rig full;
    for (int n = 0; n <= 30000; ++n)
        full.snapshots.present.insert(n);
    full.change([](TrailState& s) { s.trackCounter = 700; });
    full.snapshots.replace = false;
    full.placeTrail(0, 10);
    full.snapshotPass();
    EXPECT_TRUE(full.snapshots.made.empty());
    EXPECT_EQ(full.loop.state().trackCounter, 700);
    full.snapshots.replace = true;
    full.snapshotPass();
    EXPECT_EQ(full.out.lines(), (Lines{"img 700"}));
    EXPECT_EQ(full.snapshots.made.back().number, 701);
}

// A wall clock set back an hour holds the ticks back for a second, not an hour.
TEST(TrailLoop, TicksGoOnWhenTheClockIsSetBack) {
    Rig rig;
    rig.placeTrail(0, 10);
    for (const int64_t now : {10000000, 6400000, 6400999, 6401000}) {
        rig.camera.now = now;
        rig.loop.pass(rig.source);
    }
    EXPECT_EQ(rig.out.lines().size(), 2u);
}

TEST(TrailLoop, StopsOnEscOrQInTheLowByteOnlyOrOnAStopRequest) {
    // A read that comes back empty once a stop was asked for (an exposure
    // given up) ends the run as the stop does, without waiting for a character.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    FILE* silentInput = fdopen(pipeFds[0], "r");
    Rig stopped({}, silentInput);
    stopped.camera.budget = 3;
    stopped.stop = 1;
    EXPECT_EQ(stopped.loop.run(stopped.source), 0);
    EXPECT_EQ(stopped.out.lines(2), (Lines{"stopapp", "closing app"}));
    std::fclose(silentInput);
    close(pipeFds[1]);

    const auto stopsOn = [](int key) {
        Rig rig;
        rig.display.keys = {key};
        rig.loop.pass(rig.source);
        return rig.loop.state().stopapp;
    };
    for (const int key : {27, 113, 0x100000 | 27, 0xff00 | 113})
        EXPECT_TRUE(stopsOn(key)) << key;
    for (const int key : {-1, int{'Q'}, 27 << 8, 0x10000 | 'w'})
        EXPECT_FALSE(stopsOn(key)) << key;
}

// A 16-bit camera's range maps onto 8 bits (257 * 200 is 200), said once.
TEST(TrailLoop, CameraModeChangeWritesTheArmedTrailAndStartsANewOne) {
    Rig rig;
    rig.placeTrail(5000, 900);
    rig.change([](TrailState& s) {
        s.nextInfoTime = std::numeric_limits<int64_t>::max(), s.save = true, s.saveTimeout = 42,
        s.trackCounter = 7;
    });
    const cv::Mat armedTrail = rig.loop.state().imMin.clone();
    cv::Mat deep(60, 80, CV_16UC3, cv::Scalar::all(257 * 200)), deeper = deep.clone();
    deep.at<cv::Vec3w>(0, 0) = deeper.at<cv::Vec3w>(0, 1) = cv::Vec3w::all(65535);
    rig.camera.queued = {movingDotImage(5, {80, 60}), cv::Mat(60, 80, CV_8UC1, cv::Scalar(9)), deep, deeper};
    for (int pass = 0; pass < 4; ++pass)
        rig.loop.pass(rig.source);
    const std::string changed = "camera image changed ", anew = ", starting a new trail";
    EXPECT_EQ(rig.out.lines(), (Lines{"img 7", changed + "size from 64x48 to 80x60" + anew,
                                      changed + "from 3 channels of 8 bits to 1 channel of 8 bits" + anew,
                                      changed + "from 1 channel of 8 bits to 3 channels of 8 bits" + anew}));
    EXPECT_EQ(rig.err.text(), "camera images have 3 channels of 16 bits: converting them to 8 bits\n");
    ASSERT_EQ(rig.snapshots.made.size(), 1u);
    EXPECT_TRUE(samePixels(rig.snapshots.made[0].trail, armedTrail));
    const TrailState& state = rig.loop.state();
    EXPECT_TRUE(state.frameCounter == 1 && !state.save && state.saveTimeout == 0);
    cv::Mat trail(60, 80, CV_8UC3, cv::Scalar::all(200));
    trail(cv::Rect(0, 0, 2, 1)).setTo(cv::Scalar::all(255));
    EXPECT_TRUE(samePixels(state.imMin, trail));
}

TEST(TrailLoop, SaveOnExitAndNoRoomForASnapshot) {
    const TrailChoices saveOnExit{true, false, 0};
    Rig onExit(saveOnExit), nothingMerged(saveOnExit);
    for (auto [rig, images] : {std::pair{&onExit, 6}, {&nothingMerged, 4}}) {
        rig->camera.budget = images;  // start-up takes three
        EXPECT_EQ(rig->loop.run(rig->source), 0);
    }
    EXPECT_EQ(onExit.out.lines(3), (Lines{"empty", "img 0", "closing app"}));
    const cv::Mat trail = movingDotImage(4) | movingDotImage(5) | movingDotImage(6);  // 0 or 255: | is max
    ASSERT_EQ(onExit.snapshots.made.size(), 1u);
    EXPECT_TRUE(samePixels(onExit.snapshots.made[0].trail, trail));
    EXPECT_EQ(onExit.snapshots.made[0].reason, SnapshotReason::exit);
    EXPECT_TRUE(nothingMerged.snapshots.made.empty());

    Rig full;
    full.snapshots.room = false;
    full.placeTrail(0, 10);
    full.snapshotPass();
    EXPECT_TRUE(full.snapshots.made.empty());
    EXPECT_EQ(full.out.text(), "");
    const TrailState& state = full.loop.state();
    EXPECT_TRUE(!state.save && state.frameCounter == 0 && state.trackCounter == 0);
}

TEST(TrailLoop, ReconnectWaitsForTheCameraAndKeepsTheTrail) {
    const TrailChoices reconnect{false, false, 2500};
    Rig rig(reconnect), stopped(reconnect);
    rig.camera.step = 1000;  // a second an image: every pass ticks
    rig.camera.budget = 5;
    rig.camera.reopenedBudget = 3;
    rig.camera.scene = [&rig](int i) {
        if (i == 9) rig.stop = 1;
        return movingDotImage(i, i < 6 ? cv::Size(64, 48) : cv::Size(80, 60));
    };
    EXPECT_EQ(rig.loop.run(rig.source), 0);
    EXPECT_EQ(rig.out.lines(8),
              (Lines{"camera delivered no image, trying to reopen it every 2.5 s", "camera is back",
                     status(1, 1, 765, 0, 0, 0),
                     "camera image changed size from 64x48 to 80x60, starting a new trail",
                     status(0, 0, 0, 0, 0, 0), status(1, 1, 765, 0, 0, 0), "stopapp", "closing app"}));
    EXPECT_EQ(rig.camera.reopens, 1);
    EXPECT_GE(rig.display.polls, 25) << "waits 2.5 s (25 polls of 0.1 s) before trying again";

    stopped.camera.budget = 3;
    stopped.display.keys = {-1, -1, 'q'};
    EXPECT_EQ(stopped.loop.run(stopped.source), 0);
    EXPECT_TRUE(stopped.out.lines(2)[0] == "stopapp" && stopped.camera.reopens == 0)
        << "stopped while waiting";
}

// A camera taking exposures of seconds tells how far each is while the loop
// waits for it: the listeners hear it between images; the status lines are
// as for any camera.
TEST(TrailLoop, ExposuresInProgressReachTheListeners) {
    struct Exposures : TrailListener {
        std::vector<std::string> heard;
        void exposing(const Exposure& e) override { heard.push_back(exposureJson(e)); }
        void framed(const Frame& f) override { heard.push_back("image " + std::to_string(f.millis)); }
    } exposures;
    Rig rig;
    rig.camera.step = 4000;
    rig.camera.now = 4000;
    rig.camera.exposureSeconds = 4;
    rig.camera.budget = 6;
    TrailLoop loop(rig.inputs(), {}, {&rig.printer, &exposures});
    EXPECT_EQ(loop.run(rig.source), 0);
    const std::string progress = "{\"seconds\":4,\"secondsLeft\":3.0}|{\"seconds\":4,\"secondsLeft\":2.0}|";
    std::string heard;
    for (const std::string& h : exposures.heard)
        heard += h + "|";
    // Start-up's images come before the listeners start; then each exposure
    // is heard before its image.
    EXPECT_EQ(heard,
              progress + "image 16000|" + progress + "image 20000|" + progress + "image 24000|" + progress);
    EXPECT_EQ(rig.out.lines(4),
              (Lines{status(0, 0, 0, 0, 0, 0), status(1, 1, 765, 0, 0, 0), "empty", "closing app"}));
    EXPECT_FALSE(rig.camera.progress) << "the loop stops listening at its end";
}

TEST(TrailGrowth, EqualsTheSaturatedSubtractionAndSumAndRefreshesThePrevious) {
    cv::RNG random(7);
    // Every vector path against OpenCV's own operations: random images, all
    // black and all white ones, rows that end mid-vector.
    forEachVectorPath([&random](VectorPath path) {
        for (const int type : {CV_8UC3, CV_8UC1, CV_8UC4})
            for (const auto& [trailFill, previousFill] : {std::pair{2, 2}, {1, 0}, {0, 1}, {1, 1}}) {
                cv::Mat trail(479, 643, type), previous(479, 643, type), frame(479, 643, type);
                fillForPaths(trail, trailFill, random);
                fillForPaths(previous, previousFill, random);  // often brighter than the trail
                fillForPaths(frame, 2, random);
                const auto sum =
                    static_cast<int32_t>(cv::sum(cv::Mat(trail - previous))[0]);  // saturated at 0
                const cv::Mat merged = cv::max(trail, frame);
                cv::Mat mergingTrail = trail.clone(), mergingPrevious = previous.clone();
                EXPECT_EQ(firstChannelGrowth(trail, previous), sum) << vectorPathName(path);
                EXPECT_TRUE(samePixels(trail, previous));
                EXPECT_EQ(firstChannelGrowthAndMerge(mergingTrail, mergingPrevious, frame), sum)
                    << vectorPathName(path);
                EXPECT_TRUE(samePixels(mergingPrevious, trail) && samePixels(mergingTrail, merged))
                    << vectorPathName(path);
            }
    });
    // 8.6 million first-channel pixels of 255 sum past the 32-bit range.
    const cv::Mat huge(2100, 4096, CV_8UC3, cv::Scalar(255, 0, 0));
    forEachVectorPath([&huge](VectorPath path) {
        cv::Mat black(huge.size(), huge.type(), cv::Scalar::all(0));
        EXPECT_EQ(firstChannelGrowth(huge, black), std::numeric_limits<int32_t>::max())
            << vectorPathName(path);
    });
}

// The time map kept in the merge pass equals a plain count of which images
// raised each pixel (by more than 0, or than 20 for meteors, which also
// hears which pixels those were), for 1, 3 and 4 channels and rows that end
// mid-vector.
TEST(TrailTimes, MergeKeepsTheTimeOfTheLastImageThatRaisedEachPixel) {
    cv::RNG random(11);
    for (const int minRise : {0, 20})
        for (const int type : {CV_8UC3, CV_8UC1, CV_8UC4}) {
            cv::Mat trail(37, 61, type, cv::Scalar::all(0)), times(37, 61, CV_32FC1, cv::Scalar(0));
            cv::Mat expectedTrail = trail.clone(), expectedTimes = times.clone();
            StampedPixels stamped;
            stamped.most = 100000;
            for (int image = 1; image <= 6; ++image) {
                cv::Mat frame(trail.size(), type);
                random.fill(frame, cv::RNG::UNIFORM, 0, 256);
                std::set<uint32_t> expectedStamped;
                for (int y = 0; y < frame.rows; ++y)
                    for (int x = 0; x < frame.cols * frame.channels(); ++x) {
                        uchar& held = expectedTrail.ptr(y)[x];
                        if (frame.ptr(y)[x] > held + minRise) {
                            expectedTimes.at<float>(y, x / frame.channels()) = 0.5f * image;
                            expectedStamped.insert(
                                static_cast<uint32_t>(y * frame.cols + x / frame.channels()));
                        }
                        held = std::max(held, frame.ptr(y)[x]);
                    }
                stamped.clear();
                mergeRecordingTimes(trail, times, frame, 0.5f * static_cast<float>(image), minRise, &stamped);
                EXPECT_EQ(std::set<uint32_t>(stamped.list.begin(), stamped.list.end()), expectedStamped);
                EXPECT_EQ(stamped.list.size(), expectedStamped.size()) << "each pixel once";
            }
            EXPECT_TRUE(samePixels(trail, expectedTrail) && samePixels(times, expectedTimes))
                << type << minRise;
        }
}

// A dot crosses the scene one pixel an image, 40 ms apart: the snapshot's
// time map holds, at each pixel it covered, the time of the image that
// covered it; its span the first and last image and their number.
TEST(TrailTimes, SnapshotCarriesItsSpanAndTimeMap) {
    Rig rig({true, false, 0, true});
    rig.camera.scene = [](int i) {
        cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(0));
        return image.at<cv::Vec3b>(10, i) = cv::Vec3b(255, 255, 255), image;
    };
    rig.camera.now = 1000000;
    rig.camera.step = 40;
    rig.camera.budget = 3 + 20;  // start-up takes three: the trail begins with image 4
    EXPECT_EQ(rig.loop.run(rig.source), 0);
    ASSERT_EQ(rig.snapshots.made.size(), 1u);
    const SnapshotDue& made = rig.snapshots.made[0];
    EXPECT_EQ(made.span.startMillis, 1000000 + 3 * 40);
    EXPECT_EQ(made.span.endMillis, 1000000 + 22 * 40);
    EXPECT_EQ(made.span.images, 20);
    EXPECT_FALSE(made.span.armed);
    for (int i = 4; i <= 23; ++i)  // image i at time (i - 1) * 40, the trail's start at image 4
        EXPECT_FLOAT_EQ(made.timeMap.at<float>(10, i), static_cast<float>(i - 4) * 0.04f) << i;
    EXPECT_EQ(cv::countNonZero(made.timeMap), 19) << "the first image's pixel and the dark ones stay 0";

    // A countdown's snapshot is handed over as it is, and later trails do not
    // write into it while it is held (here: for good).
    Rig camera({false, false, 0, true});
    camera.camera.scene = rig.camera.scene;
    camera.camera.step = 40;
    std::vector<std::pair<cv::Mat, cv::Mat>> copies;
    for (int snapshot = 0; snapshot < 3; ++snapshot) {
        for (int pass = 0; pass < 6; ++pass)
            camera.loop.pass(camera.source);
        camera.snapshotPass();
        ASSERT_EQ(camera.snapshots.made.size(), copies.size() + 1);
        const SnapshotDue& handed = camera.snapshots.made.back();
        copies.emplace_back(handed.trail.clone(), handed.timeMap.clone());
        EXPECT_EQ(cv::countNonZero(handed.timeMap), snapshot == 0 ? 6 : 7)
            << "the first image of each stays 0";
    }
    for (int pass = 0; pass < 6; ++pass)
        camera.loop.pass(camera.source);
    for (size_t i = 0; i < copies.size(); ++i)
        EXPECT_TRUE(samePixels(camera.snapshots.made[i].trail, copies[i].first) &&
                    samePixels(camera.snapshots.made[i].timeMap, copies[i].second))
            << i;
}

// With --depth 16 a 16-bit camera's trail stays in 16 bits: the snapshot
// equals the per-pixel maximum of its images, and each tick's diff is the
// first channel's growth in 8-bit steps (its 16-bit sum shifted right by 8):
// here each image raises all 768 pixels by 300 levels, so freq * 900.
TEST(TrailLoop, SixteenBitTrailsKeepEveryLevelAndCountGrowthIn8BitSteps) {
    const auto scene = [](int i) {
        cv::Mat image(24, 32, CV_16UC3);
        cv::RNG(static_cast<uint64_t>(i)).fill(image, cv::RNG::UNIFORM, 0, 65536);
        cv::Mat first(image.size(), CV_16UC1, cv::Scalar(300 * i));
        cv::insertChannel(first, image, 0);
        return image;
    };
    TrailChoices choices;
    choices.replay = true;
    choices.sixteenBits = true;
    Rig rig(choices);
    rig.camera.scene = scene;
    rig.camera.step = 250;
    rig.camera.budget = 3 + 9;
    EXPECT_EQ(rig.loop.run(rig.source), 0);
    cv::Mat trail = scene(1);
    for (int i = 2; i <= 12; ++i)
        cv::max(trail, scene(i), trail);
    ASSERT_EQ(rig.snapshots.made.size(), 1u);
    EXPECT_EQ(rig.snapshots.made[0].trail.type(), CV_16UC3);
    EXPECT_TRUE(samePixels(rig.snapshots.made[0].trail, trail));
    int ticks = 0;
    for (const std::string& line : rig.out.lines()) {
        int freq = 0, frames = 0, diff = 0;
        if (std::sscanf(line.c_str(), "freq=%d  frameCounter=%d  diff=%d", &freq, &frames, &diff) != 3 ||
            frames < 2)
            continue;
        EXPECT_EQ(diff, freq * 900) << line;
        ++ticks;
    }
    EXPECT_GE(ticks, 2);
    EXPECT_EQ(rig.err.text(), "camera delivers 32x24 (asked for 640x480)\n") << "no conversion said";
}
