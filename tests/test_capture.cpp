#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

#include <opencv2/videoio.hpp>

TEST(Capture, SetupWithClosedCameraPrintsWithoutLineEndAndGrabsNothing) {
    SyntheticCamera camera;
    camera.opened = false;
    SimulatedClock clock;
    CapturedStream out;
    CaptureState state(camera, clock, out.file());
    const cv::Mat before = movingDotImage(1);
    state.frame = before;

    EXPECT_FALSE(setup(state));
    EXPECT_EQ(out.text(), "setup\ncannot open camera");
    EXPECT_EQ(camera.reads, 0);
    EXPECT_EQ(state.frame.data, before.data);
    EXPECT_EQ(state.framecounter, 0);
    EXPECT_TRUE(camera.requested.empty());
}

TEST(Capture, SetupRequestsSizeAndCountsOnlyItsSecondGrab) {
    SyntheticCamera camera;
    SimulatedClock clock;
    clock.value = 5000;
    CapturedStream out;
    CaptureState state(camera, clock, out.file());

    EXPECT_TRUE(setup(state));
    EXPECT_EQ(out.text(), "setup\nsetup done\n");
    EXPECT_EQ(camera.requested[cv::CAP_PROP_FRAME_WIDTH], 640.0);
    EXPECT_EQ(camera.requested[cv::CAP_PROP_FRAME_HEIGHT], 480.0);
    EXPECT_EQ(camera.reads, 2);
    EXPECT_EQ(state.framecounter, 1);

    camera.queued = {movingDotImage(1), cv::Mat()};  // the grab that counts comes back empty
    EXPECT_TRUE(setup(state));
    EXPECT_EQ(state.framecounter, 1);
}

TEST(Capture, FrameClockMovesOnlyOnNonEmptyGrabs) {
    SyntheticCamera camera;
    camera.queued = {movingDotImage(1), cv::Mat(), movingDotImage(2)};
    SimulatedClock clock;
    clock.value = 250000;
    CapturedStream out;
    CaptureState state(camera, clock, out.file());
    EXPECT_EQ(state.startTime, 250000.0);

    clock.value = 400000;
    captureVideoIn(state);
    EXPECT_EQ(state.framecounter, 1);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.15);
    EXPECT_EQ(state.startTime, 400000.0);

    clock.value = 900000;
    captureVideoIn(state);  // empty
    EXPECT_TRUE(state.frame.empty());
    EXPECT_EQ(state.framecounter, 1);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.15);
    EXPECT_EQ(state.startTime, 400000.0);

    captureVideoIn(state);
    EXPECT_EQ(state.framecounter, 2);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.5);
}
