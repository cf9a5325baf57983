#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

#include <opencv2/videoio.hpp>

TEST(Capture, SetupAsksForTheChosenModeAndSaysWhatTheCameraDelivers) {
    SyntheticCamera camera;
    SimulatedClock clock;
    CapturedStream out, notices;
    CaptureState state(camera, clock, out.file());
    state.requestedSize = {1280, 720};
    state.requestedFps = 15;
    state.notices = notices.file();

    EXPECT_TRUE(setup(state));
    EXPECT_EQ(out.text(), "setup\nsetup done\n");
    EXPECT_EQ(camera.requested[cv::CAP_PROP_FRAME_WIDTH], 1280.0);
    EXPECT_EQ(camera.requested[cv::CAP_PROP_FRAME_HEIGHT], 720.0);
    EXPECT_EQ(camera.requested[cv::CAP_PROP_FPS], 15.0);
    EXPECT_EQ(notices.text(), "camera delivers 64x48 (asked for 1280x720)\n");
    EXPECT_EQ(camera.reads, 2);
    EXPECT_EQ(state.framecounter, 1) << "only the second grab counts";
}

TEST(Capture, FrameClockMovesOnlyOnNonEmptyGrabs) {
    SyntheticCamera camera;
    camera.queued = {movingDotImage(1), cv::Mat(), movingDotImage(2)};
    SimulatedClock clock;
    clock.value = 250000;
    CapturedStream out;
    CaptureState state(camera, clock, out.file());

    clock.value = 400000;
    captureVideoIn(state);
    EXPECT_EQ(state.framecounter, 1);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.15);

    clock.value = 900000;
    captureVideoIn(state);  // empty
    EXPECT_TRUE(state.frame.empty());
    EXPECT_EQ(state.framecounter, 1);
    EXPECT_EQ(state.startTime, 400000.0);

    captureVideoIn(state);
    EXPECT_EQ(state.framecounter, 2);
    EXPECT_DOUBLE_EQ(state.delta_sec, 0.5);
}
