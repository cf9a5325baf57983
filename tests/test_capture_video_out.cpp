#include "Fakes.h"
#include "cvio.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>

namespace {

// Remembers every image it hands out, so the video can be checked against them.
class RememberingCamera : public SyntheticCamera {
public:
    std::vector<cv::Mat> delivered;
    void read(cv::Mat& image) override {
        SyntheticCamera::read(image);
        if (!image.empty()) delivered.push_back(image.clone());
    }
};

struct Recorder {
    TempWorkingDir dir;
    RememberingCamera camera;
    SimulatedClock clock;
    ScriptedDisplay display;
    CapturedStream out;
    CaptureState state{camera, clock, out.file()};

    Recorder() {
        camera.size = {160, 120};
        clock.step = 30000;  // 0.03 s of processor time per clock reading
    }
    int record() { return captureVideoOut(state, display); }
    cv::Mat loggedTimes() {
        cv::FileStorage log("7.xml", cv::FileStorage::READ);
        cv::Mat times;
        log["times"] >> times;
        return times;
    }
};

const std::string kHeader = "captureVideoOut\ncamera opened\nvideo output enabled\noutput size 160, 120\n";

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
    EXPECT_EQ(times.type(), CV_64F);
    EXPECT_DOUBLE_EQ(times.at<double>(0), 0.12);
}

TEST(CaptureVideoOut, OnlyTheFullEscCodeStopsAndOtherKeysAreShown) {
    Recorder r;
    r.clock.step = 25000;  // intervals of exactly 0.1 s
    r.display.keys = {-1, 'a', -1, -1, 0x100000 | 27, -1, -1, -1, 27};
    EXPECT_EQ(r.record(), 0);
    const auto lines = r.out.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "key=97"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "key=1048603"), lines.end());
    EXPECT_EQ(lines.back(), "f=   2  t=100  hz=10.0");
    const cv::Mat times = r.loggedTimes();
    ASSERT_EQ(times.rows, 3);
    for (int row = 0; row < times.rows; ++row)
        EXPECT_GE(times.at<double>(row), 0.1);
    for (const std::string& line : lines) {
        double ms = 0, hz = 0;
        if (std::sscanf(line.c_str(), "f=%*d  t=%lf  hz=%lf", &ms, &hz) == 2) {
            EXPECT_LE(hz, 10.0) << line;
            EXPECT_GE(ms, 100.0) << line;
        }
    }
}

TEST(CaptureVideoOut, VideoReadsBackAsRecorded) {
    Recorder r;
    r.display.keys.assign(16, -1);
    r.display.keys.push_back(27);
    EXPECT_EQ(r.record(), 0);
    const cv::Mat times = r.loggedTimes();
    ASSERT_EQ(times.rows, 5);
    ASSERT_EQ(r.camera.delivered.size(), 5u);

    cv::VideoCapture video("7.avi");
    ASSERT_TRUE(video.isOpened());
    EXPECT_EQ(static_cast<int>(video.get(cv::CAP_PROP_FOURCC)), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    EXPECT_DOUBLE_EQ(video.get(cv::CAP_PROP_FPS), 10.0);
    EXPECT_EQ(video.get(cv::CAP_PROP_FRAME_WIDTH), 160);
    EXPECT_EQ(video.get(cv::CAP_PROP_FRAME_HEIGHT), 120);
    int count = 0;
    for (cv::Mat image; video.read(image); ++count) {
        ASSERT_LT(count, 5);
        EXPECT_GT(cv::PSNR(image, r.camera.delivered[count]), 30.0) << count;
    }
    EXPECT_EQ(count, 5);
}

TEST(CaptureVideoOut, RefusesWithoutCameraOrVideoFile) {
    Recorder closed;
    closed.camera.opened = false;
    EXPECT_EQ(closed.record(), -1);
    EXPECT_EQ(closed.out.text(), "captureVideoOut\nerror opening camera\n");
    EXPECT_TRUE(listDirectory(".").empty());
    EXPECT_EQ(closed.camera.reads, 0);

    Recorder blocked;
    std::filesystem::create_directory("7.avi");  // a directory where the video should go
    EXPECT_EQ(blocked.record(), -1);
    EXPECT_EQ(blocked.out.text(), kHeader + "error opening output video\n");
    EXPECT_EQ(listDirectory("."), std::vector<std::string>{"7.avi"});
    EXPECT_EQ(blocked.camera.reads, 0);
}

TEST(CaptureVideoOut, CameraLostMidRecordingKeepsWhatWasRecorded) {
    Recorder r;
    r.camera.budget = 3;
    EXPECT_EQ(r.record(), 0);
    EXPECT_EQ(r.out.lines().back(), "camera delivered no image, recording ended");
    EXPECT_EQ(r.state.framecounter, 3);
    EXPECT_EQ(r.display.shown.size(), 3u);
    EXPECT_EQ(r.loggedTimes().rows, 3);
    cv::VideoCapture video("7.avi");
    int count = 0;
    for (cv::Mat image; video.read(image);)
        ++count;
    EXPECT_EQ(count, 3);
}
