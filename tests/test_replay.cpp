#include "Fakes.h"
#include "cvio.h"
#include "input/openInput.h"
#include "trail/TrailLoop.h"
#include "views/StatusPrinter.h"

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
            return ++decoded, RecordedInput::Item{cv::Mat(1, 1, CV_8UC1, cv::Scalar::all(double(i))), 100 * i,
                                                  "", i == 12};
        },
        12, 3, stderr);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_LT(decoded.load(), 12) << "only a few images are decoded ahead of the reader";
    Frame frame;
    for (int i = 0; i <= 12; ++i) {
        input.read(frame);
        EXPECT_EQ(frame.image.empty() ? -1 : frame.image.at<uchar>(0), i < 12 ? i : -1);
        EXPECT_TRUE(frame.image.empty() || frame.millis == 100 * i) << "each image carries its own time";
    }
}

// A folder as people keep them: mixed-case extensions, numbers that sort
// naturally, a broken file and an image of another size. Image i lights one
// pixel of its own. Every image lands in a snapshot: start-up's three reads
// make the first trail, which s4 (another size) ends; s4 alone is the
// second, s5 to s20 the third, written at the end.
TEST(Replay, FolderReplaysInNameOrderAndEveryImageLandsInASnapshot) {
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
    const cv::Mat startTrail =
        cv::max(cv::max(cv::imread(files[0]), cv::imread(files[1])), cv::imread(files[2]));
    const cv::Mat sizeChange = cv::imread(files[3]);
    const int startGrowth = static_cast<int>(cv::sum(startTrail - cv::imread(files[0]))[0]);

    CapturedStream out, err;
    auto input = openRecordedInput("night", 10, 3, err.file);
    ASSERT_TRUE(input) << input.reason();
    SimulatedClock processorClock;
    ScriptedDisplay display;
    MemorySnapshots snapshots;
    StatusPrinter printer(out.file, err.file);
    CaptureState capture(**input, processorClock, out.file);
    TrailLoop loop({display, snapshots, stdin}, {false, true, 0}, {&printer, &snapshots});
    EXPECT_EQ(loop.run(capture), 0);

    // Ticks at 0.3 s and 1.3 s of the recording.
    const std::string changed = "camera image changed size from ";
    EXPECT_EQ(
        out.lines(),
        (std::vector<std::string>{
            "setup", "setup done", "captured",
            cv::format("freq=2  frameCounter=2  diff=%d  trackCounter=0  save=0  saveTimeout=0", startGrowth),
            "img 0", changed + "64x48 to 80x60, starting a new trail", "img 1",
            changed + "80x60 to 64x48, starting a new trail",
            "freq=7  frameCounter=7  diff=1400  trackCounter=2  save=0  saveTimeout=0", "img 2",
            "closing app"}));
    EXPECT_EQ(err.text(), "cannot decode " + files[7] + ": skipped\n");
    cv::Mat trail(48, 64, CV_8UC3, cv::Scalar::all(0));
    for (int i = 5; i <= 20; ++i)
        trail.at<cv::Vec3b>(i, 2 * i) = i == 8 ? cv::Vec3b() : cv::Vec3b(200, 100, 50);
    ASSERT_EQ(snapshots.made.size(), 3u);
    EXPECT_TRUE(samePixels(snapshots.made[0].trail, startTrail));
    EXPECT_TRUE(samePixels(snapshots.made[1].trail, sizeChange));
    EXPECT_TRUE(samePixels(snapshots.made[2].trail, trail));
    EXPECT_EQ(snapshots.made[2].reason, SnapshotReason::endOfInput);
}
