#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

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
    CaptureState state;

    explicit Recorder(cv::Size asked = {640, 480}) : state(camera, clock, out.file, nullptr, {{asked, 0}}) {
        camera.scene = smallDot;
        clock.step = 25000;  // 0.025 s of processor time per reading: 0.1 s per image
    }
    int record(const std::string& video = "7.avi") { return captureVideoOut(state, display, video, "7.xml"); }
    cv::Mat loggedTimes() {
        cv::Mat times;
        return cv::FileStorage("7.xml", cv::FileStorage::READ)["times"] >> times, times;
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

}  // namespace

// Each image waits at least 0.1 s of processor time (exactly 0.1 s here),
// whatever keys come in meanwhile; only the full Esc code ends, after its
// image is recorded.
TEST(CaptureVideoOut, OnlyTheFullEscCodeEndsAndOnlyAfterItsImage) {
    Recorder r;
    r.display.keys = {-1, 'a', -1, -1, 0x100000 | 27, -1, -1, -1, 27};
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.text(), kHeader +
                                "key=97\nf=   0  t=100  hz=10.0\nkey=1048603\nf=   1  t=100  hz=10.0\n"
                                "key=27\nf=   2  t=100  hz=10.0\n");
    EXPECT_EQ(r.display.shown, std::vector<std::string>(3, "cap"));
    const cv::Mat times = r.loggedTimes();
    ASSERT_EQ(times.rows, 3);
    EXPECT_DOUBLE_EQ(times.at<double>(2), 0.1);
}

// Every image the log counts is in the video, at the size the camera
// delivers, whatever its channels and depth; a lost camera or a size change
// ends the recording and keeps it.
TEST(CaptureVideoOut, VideoHoldsEveryLoggedImageAtItsDeliveredSize) {
    Recorder r, resized;
    cv::Mat grey, withAlpha, deep;
    cv::cvtColor(smallDot(1), grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(smallDot(2), withAlpha, cv::COLOR_BGR2BGRA);
    smallDot(3).convertTo(deep, CV_16U, 257);
    r.camera.queued = {grey, withAlpha, deep};
    r.camera.budget = 2;
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.lines(1)[0], "camera delivered no image, recording ended");
    const std::vector<cv::Mat> video = r.video();  // white dots on black lose nothing as grey
    ASSERT_EQ(video.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_GT(cv::PSNR(video[i], smallDot(static_cast<int>(i) + 1)), 30.0) << i;
    EXPECT_EQ(r.loggedTimes().rows, 5);

    resized.camera.queued = {smallDot(1), smallDot(2), movingDotImage(3, {320, 240})};
    EXPECT_EQ(resized.record(), -1);
    EXPECT_EQ(resized.out.lines(1)[0], "camera image changed to 320x240, recording ended");
    EXPECT_TRUE(resized.video().size() == 2u && resized.loggedTimes().rows == 2);
}

// A closed camera, a camera that delivers nothing or a video that cannot be
// opened: an older recording and its log stay as they were.
TEST(CaptureVideoOut, FailureBeforeTheFirstImageLeavesOlderFilesAlone) {
    Recorder closed, r({320, 240});  // --record --size 320x240
    closed.camera.opened = false;
    EXPECT_EQ(closed.record(), -1);
    EXPECT_EQ(closed.out.text(), "captureVideoOut\nerror opening camera\n");
    std::ofstream("7.avi") << "last night";
    std::ofstream("7.xml") << "last night's log";
    r.camera.queued = {cv::Mat()};
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.text(),
              "captureVideoOut\ncamera opened\nvideo output enabled\noutput size 320, 240\n"
              "camera delivered no image, recording ended\n");
    EXPECT_EQ(r.record("no/such/folder/7.avi"), -1);
    EXPECT_EQ(r.out.lines(1)[0], "error opening output video");
    EXPECT_EQ(textOf("7.avi") + '|' + textOf("7.xml"), "last night|last night's log");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 2) << "nothing left behind";
}
