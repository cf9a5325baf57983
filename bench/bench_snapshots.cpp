// A 1080p snapshot with its sidecar and EXIF, a time map (TIFF and colours)
// and a panorama, on a file system as slow as an SD card (every flush
// 200 ms, every write at 10 MB/s): the loop's longest pause per snapshot,
// against the writing on the loop's thread that the loop waited for before
// (same run).
#include "app/PanoramaView.h"
#include "core/TimeColours.h"
#include "platform/DiskFileSystem.h"
#include "snapshots/SnapshotFolder.h"
#include "trail/TrailLoop.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The disk, slowed down: a durable write flushes the file and its folder.
class SlowFileSystem : public FileSystem {
public:
    static constexpr double kBytesPerSecond = 10e6;
    static constexpr auto kFlush = std::chrono::milliseconds(200);
    std::vector<FileEntry> list(const std::string& folder) const override { return disk_.list(folder); }
    std::vector<std::string> folders(const std::string& folder) const override {
        return disk_.folders(folder);
    }
    std::optional<std::string> read(const std::string& path, size_t maxBytes) const override {
        return disk_.read(path, maxBytes);
    }
    Result<> writeAtomically(const std::string& path, const std::string& bytes) override {
        wait(bytes.size(), 0);
        return disk_.writeAtomically(path, bytes);
    }
    Result<> writeDurably(const std::string& path, const std::vector<unsigned char>& bytes) override {
        wait(bytes.size(), 2);
        return disk_.writeDurably(path, bytes);
    }
    bool remove(const std::string& path) override { return disk_.remove(path); }

private:
    static void wait(size_t bytes, int flushes) {
        std::this_thread::sleep_for(
            std::chrono::duration<double>(static_cast<double>(bytes) / kBytesPerSecond) + flushes * kFlush);
    }
    FileSystem& disk_ = diskFileSystem();
};

struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "trailcam-bench-snapshots").string();
    SnapshotMetadata metadata{"bench", "0"};
    StartupPanorama startup;
    PanoramaView panorama{startup, stderr};
    SlowFileSystem slow;
    Folder() { std::filesystem::remove_all(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    // As a run with --metadata --time-map --panorama describes its snapshots.
    std::unique_ptr<SnapshotFolder> open() {
        auto folder = std::make_unique<SnapshotFolder>(path, 0, stderr, slow);
        if (!folder->open()) return nullptr;
        folder->describeWith(&metadata);
        folder->addCompanion(kPanoramaSuffix,
                             [this](const SnapshotDue& due) { return panorama.unwrap(due.trail); });
        folder->addCompanion(kTimeMapSuffix, [](const SnapshotDue& due) { return due.timeMap; });
        folder->addCompanion(kTimeColoursSuffix, [](const SnapshotDue& due) {
            return colouredTimes(due.timeMap, due.trail, 600.0f);
        });
        return folder;
    }
};

SnapshotDue due(int32_t number) {
    cv::Mat trail(1080, 1920, CV_8UC3), times(1080, 1920, CV_32FC1);
    cv::randu(trail, 0, 60);
    cv::randu(times, 0, 600);
    return {number, trail, SnapshotReason::countdown, 0, {0, 600000, 18000}, times};
}

// One still image of the sky, again and again, a frame time 33 ms on each time.
class Still : public FrameSource, public Camera, public Display {
public:
    explicit Still(cv::Mat image) : image_(std::move(image)) {}
    bool start() override { return true; }
    Frame next() override { return {image_, millis_ += 33}; }
    void keepImagesIn(std::vector<Frame>*) override {}
    Camera& camera() override { return *this; }
    bool isOpened() const override { return true; }
    void configure(const CameraMode&) override {}
    CameraMode reported() const override { return {image_.size(), 30}; }
    void read(Frame& frame) override { frame = next(); }
    void show(const std::string&, const cv::Mat&) override {}
    void place(const std::string&, cv::Point) override {}
    int pollKey(int) override { return -1; }

private:
    cv::Mat image_;
    int64_t millis_ = 0;
};

// The loop's pass that makes a snapshot, with a time map kept: deciding it,
// handing the trail and time map over and starting the next trail. Snapshots
// come minutes apart: each is made once the writer has finished the one
// before.
void LoopPause(benchmark::State& state) {
    Folder f;
    const std::unique_ptr<SnapshotFolder> folder = f.open();
    if (!folder) return state.SkipWithError("cannot open the folder");
    Still still(due(0).trail);
    TrailLoop loop({still, *folder, nullptr}, {false, false, 0, true}, {folder.get()});
    loop.pass(still);  // the first trail
    double longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 30; ++i)  // a second of images merged
            loop.pass(still);
        TrailState armed = loop.state();
        armed.save = true;
        armed.saveTimeout = 0;
        armed.nextInfoTime = INT64_MAX;
        loop.setState(armed);
        state.ResumeTiming();
        const auto start = Clock::now();
        loop.pass(still);
        const double paused = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(paused);
        longest = std::max(longest, paused);
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));  // the writer's turn
        state.ResumeTiming();
    }
    folder->ended();
    state.counters["longest_ms"] = longest * 1000;
}

// The writing itself, which the loop waited for before: encoding, EXIF,
// sidecar, panorama, TIFF and colours, the writes and their flushes.
void WritingOnTheLoop(benchmark::State& state) {
    Folder f;
    double longest = 0;
    int32_t number = 0;
    for (auto _ : state) {
        const std::unique_ptr<SnapshotFolder> folder = f.open();
        if (!folder) return state.SkipWithError("cannot open the folder");
        SnapshotDue next = due(++number);
        const auto start = Clock::now();
        folder->snapshotDue(next);
        folder->ended();
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(took);
        longest = std::max(longest, took);
    }
    state.counters["longest_ms"] = longest * 1000;
}

}  // namespace

BENCHMARK(LoopPause)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(WritingOnTheLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
