#include "LoopParts.h"
#include "trail/FlashGate.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

// A dark sky with five stars drifting one pixel an image, 100 ms apart.
cv::Mat sky(int i) {
    cv::Mat image(48, 64, CV_8UC3, cv::Scalar::all(10));
    for (int k = 0; k < 5; ++k)
        image.at<cv::Vec3b>(5 + 8 * k, (i + 7 * k) % 64) = cv::Vec3b(200, 190, 180);
    return image;
}

// What the loop tells of flashes.
struct FlashesHeard : TrailListener {
    std::vector<FlashRun> runs;
    std::vector<int64_t> told;
    void flashRunEnded(const FlashRun& run) override { runs.push_back(run); }
    void framed(const Frame& frame) override { told.push_back(frame.millis); }
};

// A replay of the scripted images with flashes kept out.
struct FlashRig : LoopParts<> {
    FlashesHeard heard;
    TrailLoop loop;
    explicit FlashRig(std::function<cv::Mat(int)> scene, int images, FlashRule rule = {})
        : loop(inputs(), {false, true, 0, false, rule}, {&snapshots, &heard}) {
        camera.scene = std::move(scene);
        camera.budget = images;
        camera.now = 1796680800000;  // 2026-12-07T22:00:00Z
        camera.step = 100;
    }
    static int64_t timeOf(int i) { return 1796680800000 + (i - 1) * 100; }
};

}  // namespace

// Flashes for 1 s, a camera that changes size, flashes for 0.9 s more: two
// runs, each under the 1.5 s, and no scene change. (A scene that brightens
// for good, written for a scene change, is checked end to end.)
TEST(Flashes, ASizeChangeEndsARunOfFlashes) {
    const auto resized = [](int i) {
        if (i <= 20) return i <= 10 ? sky(i) : sky(i) + cv::Scalar::all(120);
        cv::Mat small;
        cv::resize(sky(i), small, {32, 24}, 0, 0, cv::INTER_NEAREST);
        return i <= 21 ? small : small + cv::Scalar::all(120);
    };
    FlashRig changed(resized, 30, {5, 32, 1.5});
    EXPECT_EQ(changed.loop.run(changed.source), 0);
    ASSERT_EQ(changed.heard.runs.size(), 2u);
    EXPECT_EQ(changed.heard.runs[0].images, 10);
    EXPECT_EQ(changed.heard.runs[1].images, 9);
    for (const SnapshotDue& made : changed.snapshots.made)
        EXPECT_NE(made.reason, SnapshotReason::sceneChange);
    using Spans = std::vector<std::pair<int64_t, int64_t>>;
    ASSERT_TRUE(!changed.snapshots.made.empty() && changed.snapshots.made.back().span.rejected);
    EXPECT_EQ(changed.snapshots.made.back().span.rejected->spans,
              (Spans{{FlashRig::timeOf(22), FlashRig::timeOf(30)}}));
}

// A countdown that runs out on a flash waits for the next image let in: the
// new trail never starts from a flash. (That flashes stay out of the trail
// and are counted in its sidecar is checked end to end on a scripted night.)
TEST(Flashes, AFlashNeverStartsATrail) {
    FlashRig rig([](int i) { return i == 6 ? cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(255)) : sky(i); }, 8);
    for (int i = 0; i < 4; ++i)
        rig.loop.pass(rig.source);  // images 1 to 4: the trail
    TrailState state = rig.loop.state();
    state.save = true;
    state.saveTimeout = 0;
    state.nextInfoTime = std::numeric_limits<int64_t>::max();
    rig.loop.setState(state);
    rig.loop.pass(rig.source);  // image 5: the snapshot, and the new trail from it
    ASSERT_EQ(rig.snapshots.made.size(), 1u);
    state = rig.loop.state();
    state.save = true;
    state.saveTimeout = 0;
    rig.loop.setState(state);
    rig.loop.pass(rig.source);  // image 6, a flash: no snapshot yet
    EXPECT_EQ(rig.snapshots.made.size(), 1u);
    rig.loop.pass(rig.source);  // image 7: the snapshot, and the new trail from image 7
    ASSERT_EQ(rig.snapshots.made.size(), 2u);
    EXPECT_TRUE(samePixels(rig.loop.state().imMin, sky(7)));
    EXPECT_EQ(rig.loop.state().span.startMillis, FlashRig::timeOf(7));
    EXPECT_EQ(rig.heard.told.size(), 7u) << "a flash is still told: clips keep it";
}

// The fused merge and count against a pixel-by-pixel reference, on images
// whose rows are and are not continuous, at and around the limit.
TEST(Flashes, TheGateCountsPixelsRaisedInAnyChannelAndLeavesAFlashOut) {
    cv::RNG random(5);
    // Each vector path, on random images and on all black and all white ones.
    forEachVectorPath([&random](VectorPath path) {
        SCOPED_TRACE(vectorPathName(path));
        for (const int type : {CV_8UC3, CV_8UC1, CV_8UC4})
            for (const bool continuous : {true, false})
                for (const auto& [trailFill, imageFill] : {std::pair{2, 2}, {0, 1}, {1, 0}}) {
                    cv::Mat bigTrail(150, 290, type), bigImage(150, 290, type);
                    fillForPaths(bigTrail, trailFill, random);
                    fillForPaths(bigImage, imageFill, random);
                    const cv::Rect part = continuous ? cv::Rect(0, 0, 290, 150) : cv::Rect(3, 2, 270, 140);
                    const cv::Mat trail = bigTrail(part), image = bigImage(part);
                    int64_t raised = 0;
                    for (int y = 0; y < trail.rows; ++y)
                        for (int x = 0; x < trail.cols; ++x) {
                            bool any = false;
                            for (int c = 0; c < trail.channels(); ++c)
                                any = any || image.ptr(y)[x * trail.channels() + c] >
                                                 trail.ptr(y)[x * trail.channels() + c] + 32;
                            raised += any;
                        }
                    const double share = static_cast<double>(raised) / static_cast<double>(trail.total());
                    EXPECT_DOUBLE_EQ(raisedShare(trail, image, 32), share);
                    cv::Mat expected;
                    cv::max(trail, image, expected);
                    FlashGate gate;
                    for (const double limit : {share - 0.001, share, share + 0.001}) {
                        cv::Mat merged = bigTrail.clone()(part);
                        const cv::Mat before = merged.clone();
                        const FlashJudgement judged = gate.mergeUnlessFlash(merged, image, 32, limit);
                        EXPECT_EQ(judged.flash, share > limit) << type << ' ' << limit;
                        EXPECT_DOUBLE_EQ(judged.share, share);
                        EXPECT_TRUE(samePixels(merged, judged.flash ? trail : expected))
                            << "taken back whole, or merged";
                        EXPECT_EQ(FlashGate::judge(trail, image, 32, limit).flash, judged.flash);
                    }
                }
    });
}

// A 16-bit trail (--depth 16): the margin in 8-bit levels, x256.
TEST(Flashes, SixteenBitImagesAreJudgedWithTheMarginInEightBitLevels) {
    cv::Mat trail(10, 10, CV_16UC3, cv::Scalar::all(1000)), image = trail.clone();
    image(cv::Rect(0, 0, 10, 3)).setTo(cv::Scalar(1000, 1000 + 32 * 256 + 1, 1000));  // 30 % just above
    image(cv::Rect(0, 3, 10, 3)).setTo(cv::Scalar::all(1000 + 32 * 256));             // 30 % at the margin
    FlashGate gate;
    cv::Mat merged = trail.clone();
    EXPECT_DOUBLE_EQ(gate.mergeUnlessFlash(merged, image, 32, 0.29).share, 0.3);
    EXPECT_TRUE(samePixels(merged, trail)) << "a flash: left out";
    EXPECT_FALSE(gate.mergeUnlessFlash(merged, image, 32, 0.3).flash);
    EXPECT_TRUE(samePixels(merged, cv::max(trail, image)));
}

// What the flashes add to status JSON. (Without them, the statuses and
// sidecars are checked to the byte elsewhere; with them, end to end.)
TEST(Flashes, StatusCountsThemWhenKeptOut) {
    TickStatus status{30, 900, 2000, 4, false, 0};
    status.rejected = 7;
    EXPECT_EQ(
        statusJsonMembers(status),
        "\"freq\":30,\"frameCounter\":900,\"diff\":2000,\"trackCounter\":4,\"save\":0,\"saveTimeout\":0,"
        "\"rejected\":7");
}
