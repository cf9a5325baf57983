#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// Start-up on cameras that deliver various first images: what it prints, how
// far the frame clock moves, and the start-up panorama it leaves.
TEST(Capture, SetupReadsTwoImagesCountsOneAndUnwrapsTheFirst) {
    cv::Mat sky(480, 640, CV_8UC3);
    cv::randu(sky, 0, 256);
    struct Case {
        const char* name;
        bool opened;
        cv::Mat first;
        int budget;  // images the camera delivers
        const char* printed;
        int32_t framecounter;
        std::optional<cv::Size> panorama;  // none: no panorama
    } cases[] = {
        {"a 640x480 sky", true, sky, 100, "setup\nsetup done\n", 1, cv::Size(800, 127)},
        {"a camera whose ring does not fit", true, sky(cv::Rect(0, 0, 640, 400)).clone(), 100,
         "setup\nsetup done\n", 1, std::nullopt},
        {"an open camera that delivers nothing", true, cv::Mat(), 0, "setup\nsetup done\n", 0, std::nullopt},
        {"a closed camera", false, sky, 100, "setup\ncannot open camera", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyntheticCamera camera;
        camera.opened = c.opened;
        camera.budget = c.budget;
        camera.scene = [&c](int) { return c.first.clone(); };
        SimulatedClock clock;
        clock.step = 2500;
        CapturedStream out;
        CaptureState state(camera, clock, out.file);
        StartupPanorama startup;
        state.panorama = &startup;
        EXPECT_EQ(setup(state), c.opened);
        EXPECT_EQ(out.text(), c.printed);
        EXPECT_EQ(state.framecounter, c.framecounter);
        EXPECT_EQ(camera.reads, c.opened ? 2 : 0);
        ASSERT_EQ(startup.unwrap != nullptr, c.panorama.has_value());
        // The keogram gathers the ring's square only where a panorama can be made.
        if (!c.first.empty() && c.opened) {
            EXPECT_EQ(startupRingSquare(c.first.size()),
                      c.panorama ? cv::Rect(95, 15, 451, 451) : cv::Rect());
        }
        if (!c.panorama) continue;
        EXPECT_EQ(startup.unwrap->size(), *c.panorama);
        EXPECT_EQ(startup.unwrap->type(), CV_8UC3);
        EXPECT_EQ(startup.unwrap->at<cv::Vec3b>(0, 0), sky.at<cv::Vec3b>(449, 396));
        // Only the grab through captureVideoIn moved the clock: one reading
        // after the one taken at the start.
        EXPECT_DOUBLE_EQ(state.delta_sec, 0.0025);
        EXPECT_DOUBLE_EQ(state.startTime, 2500);
    }
}

// The frame clock moves with every image read and stays put on an empty read.
TEST(Capture, TheFrameClockCountsOnlyImagesRead) {
    SyntheticCamera camera;
    camera.budget = 2;
    camera.now = 1000, camera.step = 40;
    SimulatedClock clock;
    clock.step = 1000;
    CapturedStream out;
    CaptureState state(camera, clock, out.file);
    CaptureSource source(state);
    std::vector<Frame> kept;
    source.keepImagesIn(&kept);
    const Frame first = source.next(), second = source.next();
    source.keepImagesIn(nullptr);
    EXPECT_EQ(first.millis, 1000);
    EXPECT_EQ(second.millis, 1040);
    EXPECT_EQ(state.framecounter, 2);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.001);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].millis, 1040);
    EXPECT_EQ(cv::norm(kept[0].image, first.image, cv::NORM_INF), 0);

    const double startTime = state.startTime;
    EXPECT_TRUE(source.next().image.empty());
    EXPECT_EQ(state.framecounter, 2);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.001);
    EXPECT_DOUBLE_EQ(state.startTime, startTime);
    EXPECT_EQ(&source.camera(), &camera);
}

}  // namespace
