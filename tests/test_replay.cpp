#include "Fakes.h"
#include "cvio.h"
#include "input/openInput.h"
#include "trail/TrailLoop.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

// Workers finish out of order (earlier images take longer); the loop still
// gets them in order, and never more than a few ahead are held.
TEST(Replay, DecodedImagesArriveInOrder) {
    std::atomic<int> decoded{0};
    RecordedInput input(
        [&decoded](int64_t i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(12 - i % 4 * 3));
            return ++decoded,
                   RecordedInput::Item{cv::Mat(1, 1, CV_8UC1, cv::Scalar::all(double(i))), 0, "", i == 12};
        },
        12, 3, stderr);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_LT(decoded.load(), 12) << "only a few images are decoded ahead of the reader";
    cv::Mat image;
    for (int i = 0; i <= 12; ++i) {
        input.read(image);
        EXPECT_EQ(image.empty() ? -1 : image.at<uchar>(0), i < 12 ? i : -1);
    }
}

// A folder as people keep them: mixed-case extensions, numbers that sort
// naturally, a broken file and an image of another size. Image i lights one
// pixel of its own; JPEGs only among the first three, which start-up takes.
TEST(Replay, FolderReplaysInNameOrderSkippingWhatDoesNotDecode) {
    TempWorkingDir dir;
    std::filesystem::create_directory("night");
    const char* const extensions[] = {".jpg", ".JPEG", ".Jpg", ".png", ".PNG", ".tif", ".TIFF", ".bmp"};
    std::vector<std::string> files;
    for (int i = 1; i <= 20; ++i) {
        files.push_back("night/s" + std::to_string(i) + extensions[i <= 3 ? i - 1 : 3 + i % 5]);
        cv::Mat image(i == 4 ? 60 : 48, i == 4 ? 80 : 64, CV_8UC3, cv::Scalar::all(0));
        image.at<cv::Vec3b>(i, 2 * i) = cv::Vec3b(200, 100, 50);
        cv::imwrite(files.back(), image);
    }
    std::ofstream(files[7], std::ios::trunc) << "not an image";
    std::ofstream("night/notes.txt") << "ignored";

    std::string failure;
    CapturedStream out, err;
    auto input = openRecordedInput("night", 10, 3, err.file, failure);
    ASSERT_TRUE(input) << failure;
    SimulatedClock processorClock;
    ScriptedDisplay display;
    MemoryWriter snapshots;
    CaptureState capture(*input, processorClock, out.file);
    TrailDevices devices{*input, display, snapshots, out.file, err.file, stdin};
    devices.finiteInput = true;
    EXPECT_EQ(TrailLoop(devices).run(capture), 0);

    // s4 starts a trail that s5 replaces; ticks come at 0.4 s and 1.4 s of
    // the recording, and the trail of s5 to s20 is written at the end.
    EXPECT_EQ(out.lines(), (std::vector<std::string>{
                               "setup", "setup done", "captured",
                               "freq=0  frameCounter=0  diff=0  trackCounter=0  save=0  saveTimeout=0",
                               "camera image changed size from 80x60 to 64x48, starting a new trail",
                               "freq=8  frameCounter=8  diff=1600  trackCounter=0  save=0  saveTimeout=0",
                               "img 0", "closing app"}));
    EXPECT_EQ(err.text(), "cannot decode " + files[7] + ": skipped\n");
    cv::Mat trail(48, 64, CV_8UC3, cv::Scalar::all(0));
    for (int i = 5; i <= 20; ++i)  // lossless files only
        trail.at<cv::Vec3b>(i, 2 * i) = i == 8 ? cv::Vec3b() : cv::Vec3b(200, 100, 50);
    ASSERT_EQ(snapshots.written.size(), 1u);
    EXPECT_TRUE(samePixels(snapshots.written[0].second, trail));
}
