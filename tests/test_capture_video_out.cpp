#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>
#include <fstream>

namespace {

cv::Mat smallDot(int i) { return movingDotImage(i, {160, 120}); }

// A recording run on a camera that reports the requested 640 x 480 but
// delivers 160 x 120, as some drivers do.
struct Recorder {
    TempWorkingDir dir;
    SyntheticCamera camera;
    SimulatedClock clock;
    ScriptedDisplay display;
    CapturedStream out;
    volatile std::sig_atomic_t stop = 0;
    CaptureState state{camera, clock, out.file};

    Recorder() {
        camera.scene = smallDot;
        clock.step = 30000;  // 0.03 s of processor time per clock reading
        state.stopRequested = &stop;
    }
    int record(const std::string& video = "7.avi") { return captureVideoOut(state, display, video, "7.xml"); }
    cv::Mat loggedTimes() {
        cv::FileStorage log("7.xml", cv::FileStorage::READ);
        cv::Mat times;
        log["times"] >> times;
        return times;
    }
    std::vector<cv::Mat> video() {
        cv::VideoCapture file("7.avi");
        std::vector<cv::Mat> images;
        for (cv::Mat image; file.read(image);)
            images.push_back(image.clone());
        return images;
    }
};

const std::string kHeader = "captureVideoOut\ncamera opened\nvideo output enabled\noutput size 640, 480\n";

std::string contentOf(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

TEST(CaptureVideoOut, EscInTheFirstWaitStillRecordsTheFirstImage) {
    Recorder r;
    r.display.keys = {27};
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.text(), kHeader + "key=27\nf=   0  t=120  hz=8.3\n");
    EXPECT_EQ(r.state.framecounter, 1);
    EXPECT_EQ(r.display.shown, std::vector<std::string>{"cap"});
    EXPECT_GE(r.display.polls, 4) << "Esc does not cut the wait short";
    const cv::Mat times = r.loggedTimes();
    ASSERT_EQ(times.rows, 1);
    EXPECT_DOUBLE_EQ(times.at<double>(0), 0.12);
}

TEST(CaptureVideoOut, OnlyTheFullEscCodeOrAStopRequestEnds) {
    Recorder r;
    r.clock.step = 25000;  // intervals of exactly 0.1 s
    r.display.keys = {-1, 'a', -1, -1, 0x100000 | 27, -1, -1, -1, 27};
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.text(), kHeader +
                                "key=97\nf=   0  t=100  hz=10.0\nkey=1048603\nf=   1  t=100  hz=10.0\n"
                                "key=27\nf=   2  t=100  hz=10.0\n");
    EXPECT_EQ(r.loggedTimes().rows, 3);

    Recorder stopped;
    stopped.stop = 1;
    EXPECT_EQ(stopped.record(), 0);
    EXPECT_EQ(stopped.loggedTimes().rows, 1);
}

// Every image the log counts is in the video, at the size the camera
// delivers, whatever its channels and depth.
TEST(CaptureVideoOut, VideoHoldsEveryLoggedImageAtItsDeliveredSize) {
    Recorder r;
    cv::Mat grey, withAlpha, deep;
    cv::cvtColor(smallDot(1), grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(smallDot(2), withAlpha, cv::COLOR_BGR2BGRA);
    smallDot(3).convertTo(deep, CV_16U, 257);
    r.camera.queued = {grey, withAlpha, deep};
    r.camera.budget = 2;
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.lines().back(), "camera delivered no image, recording ended");
    const std::vector<cv::Mat> video = r.video();  // white dots on black lose nothing as grey
    ASSERT_EQ(video.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_GT(cv::PSNR(video[static_cast<size_t>(i)], smallDot(i + 1)), 30.0) << i;
    EXPECT_EQ(r.loggedTimes().rows, 5);
}

TEST(CaptureVideoOut, SizeChangeEndsTheRecordingKeepingWhatWasRecorded) {
    Recorder r;
    r.camera.queued = {smallDot(1), smallDot(2), movingDotImage(3, {320, 240})};
    r.camera.budget = 0;
    EXPECT_EQ(r.record(), -1);
    EXPECT_EQ(r.out.lines().back(), "camera image changed to 320x240, recording ended");
    EXPECT_EQ(r.video().size(), 2u);
    EXPECT_EQ(r.loggedTimes().rows, 2);
}

TEST(CaptureVideoOut, FailureBeforeTheFirstImageLeavesOlderFilesAlone) {
    Recorder closed;
    closed.camera.opened = false;
    EXPECT_EQ(closed.record(), -1);
    EXPECT_EQ(closed.out.text(), "captureVideoOut\nerror opening camera\n");

    Recorder r;
    std::ofstream("7.avi") << "last night";
    std::ofstream("7.xml") << "last night's log";
    r.camera.queued = {cv::Mat()};
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.text(), kHeader + "camera delivered no image, recording ended\n");
    EXPECT_EQ(r.record("no/such/folder/7.avi"), -1);
    EXPECT_EQ(r.out.lines().back(), "error opening output video");
    EXPECT_EQ(contentOf("7.avi"), "last night");
    EXPECT_EQ(contentOf("7.xml"), "last night's log");
    EXPECT_EQ(listDirectory("."), (std::vector<std::string>{"7.avi", "7.xml"}));
}
