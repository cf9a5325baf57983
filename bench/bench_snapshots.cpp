// A 1080p snapshot with its sidecar and EXIF and a time map (TIFF and
// colours): how long the loop pauses to hand it over, against how long the
// writing takes, which the loop used to wait for (same run).
#include "core/TimeColours.h"
#include "snapshots/SnapshotFolder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "trailcam-bench-snapshots").string();
    SnapshotMetadata metadata{"bench", "0"};
    Folder() { std::filesystem::remove_all(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    void describe(SnapshotFolder& folder) {
        folder.describeWith(&metadata);
        folder.addCompanion(kTimeMapSuffix, [](const SnapshotDue& due) { return due.timeMap; });
        folder.addCompanion(kTimeColoursSuffix, [](const SnapshotDue& due) {
            return colouredTimes(due.timeMap, due.trail, 600.0f);
        });
    }
};

SnapshotDue due(int32_t number) {
    cv::Mat trail(1080, 1920, CV_8UC3), times(1080, 1920, CV_32FC1);
    cv::randu(trail, 0, 60);
    cv::randu(times, 0, 600);
    return {number, trail, SnapshotReason::countdown, 0, {0, 600000, 18000}, times};
}

// The loop's side: handing a snapshot over (and, once in a while, the
// writer's backlog: at most two wait).
void HandingOver(benchmark::State& state) {
    Folder f;
    SnapshotFolder folder(f.path, 0, stderr);
    if (!folder.open()) return state.SkipWithError("cannot open the folder");
    f.describe(folder);
    const SnapshotDue made = due(1);
    int32_t number = 0;
    for (auto _ : state) {
        SnapshotDue next = made;
        next.number = ++number;
        const auto start = std::chrono::steady_clock::now();
        folder.snapshotDue(next);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // snapshots come minutes apart
        state.ResumeTiming();
    }
    folder.ended();
}

// The writing itself: what the loop waited for before.
void Writing(benchmark::State& state) {
    Folder f;
    int32_t number = 0;
    for (auto _ : state) {
        SnapshotFolder folder(f.path, 0, stderr);
        if (!folder.open()) return state.SkipWithError("cannot open the folder");
        f.describe(folder);
        SnapshotDue next = due(++number);
        const auto start = std::chrono::steady_clock::now();
        folder.snapshotDue(next);
        folder.ended();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

}  // namespace

BENCHMARK(HandingOver)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(Writing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
