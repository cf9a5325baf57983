// Replaying recordings: the whole replay against decoding alone, a folder on
// worker threads against one thread, ffmpeg's running maximum as the peer a
// user would otherwise reach for, and the peak memory of long and short runs.
#include "camera/DemoSky.h"
#include "cvio.h"
#include "input/openInput.h"
#include "platform/HighGuiDisplay.h"
#include "products/Keogram.h"
#include "products/Timelapse.h"
#include "snapshots/SnapshotFolder.h"
#include "trail/TrailLoop.h"
#include "views/StatusPrinter.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kImages = 1000;

// The same 640 x 480 night sky as a Motion-JPEG video, as a folder of JPEGs,
// and as a folder of only ten of them; made once per run.
struct Recordings {
    fs::path root = fs::temp_directory_path() / ("trailcam-bench-" + std::to_string(getpid()));
    std::string video = (root / "sky.avi").string();
    std::string folder = (root / "sky").string();
    std::string shortFolder = (root / "short").string();
    Recordings() {
        fs::create_directories(folder);
        fs::create_directories(shortFolder);
        DemoSky sky;
        cv::VideoWriter writer(video, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30,
                               {640, 480});
        for (int i = 0; i < kImages; ++i) {
            const cv::Mat image = sky.render();
            writer.write(image);
            char name[32];
            std::snprintf(name, sizeof name, "/%05d.jpg", i);
            cv::imwrite(folder + name, image);
            if (i < 10) cv::imwrite(shortFolder + name, image);
        }
    }
    ~Recordings() { fs::remove_all(root); }
};

const Recordings& recordings() {
    static const Recordings made;
    return made;
}

void countImages(benchmark::State& state) {
    state.counters["images_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kImages), benchmark::Counter::kIsRate);
}

// The tool's replay, in this process: start-up, the trail loop on media
// time, status lines to /dev/null, the final snapshot to a file; with the
// night products (a keogram column every 30 s, a timelapse image every 10 s)
// when asked.
void replay(const std::string& path, int threads, bool products = false) {
    auto input = openRecordedInput(path, 30, threads, stderr);
    struct NoClock : ProcessorClock {
        std::clock_t now() override { return 0; }
    } processorClock;
    HighGuiDisplay display(stderr, true, false);
    SnapshotFolder snapshots((recordings().root / "img").string(), 0, stderr);
    FILE* sink = std::fopen("/dev/null", "w");
    StatusPrinter printer(sink, stderr);
    CaptureState capture(**input, processorClock, sink);
    CaptureSource source(capture);
    const std::string folder = (recordings().root / "night").string();
    Keogram keogram(folder, 30, nullptr, stderr);
    Timelapse timelapse({folder, TimelapseSettings::Shows::frame, 10, 30, true}, stderr);
    std::vector<TrailListener*> listeners{&printer, &snapshots};
    if (products) listeners.insert(listeners.end(), {&keogram, &timelapse});
    TrailLoop({display, snapshots, stdin}, {false, true, 0}, listeners).run(source);
    std::fclose(sink);
    fs::remove_all(folder);
}

void BM_VideoDecodeOnly(benchmark::State& state) {
    const std::string& video = recordings().video;
    for (auto _ : state) {
        cv::VideoCapture capture(video, cv::CAP_FFMPEG);
        for (cv::Mat image; capture.read(image);)
            benchmark::DoNotOptimize(image.data);
    }
    countImages(state);
}

void BM_VideoReplay(benchmark::State& state) {
    for (auto _ : state)
        replay(recordings().video, 1);
    countImages(state);
}

void BM_VideoReplayWithNightProducts(benchmark::State& state) {
    for (auto _ : state)
        replay(recordings().video, 1, true);
    countImages(state);
}

void BM_FolderDecodeOneThread(benchmark::State& state) {
    const std::vector<std::string> files = imageFilesOf(recordings().folder);
    for (auto _ : state)
        for (const std::string& file : files)
            benchmark::DoNotOptimize(cv::imread(file).data);
    countImages(state);
}

void BM_FolderReplay(benchmark::State& state) {
    for (auto _ : state)
        replay(recordings().folder, static_cast<int>(state.range(0)));
    countImages(state);
}

// Runs a command to its end; returns its peak resident memory in kB.
long runChild(const std::vector<std::string>& command) {
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

void BM_FfmpegRunningMaximum(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (runChild({"ffmpeg", "-v", "error", "-i", recordings().video, "-vf", "lagfun=decay=1", "-f",
                      "null", "-"}) < 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    countImages(state);
}

// The shipped tool on a folder of 1000 images and of 10: peak resident memory.
void BM_ToolPeakMemory(benchmark::State& state) {
    const std::string& folder = state.range(0) == 10 ? recordings().shortFolder : recordings().folder;
    long peak = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        peak = runChild({TRAILCAM_PROGRAM, "--input", folder, "-o", (recordings().root / "tool").string()});
        if (peak < 0) {
            state.SkipWithError("trailcam failed");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["peak_MB"] = static_cast<double>(peak) / 1024;
}

}  // namespace

BENCHMARK(BM_VideoDecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VideoReplay)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VideoReplayWithNightProducts)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FolderDecodeOneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FolderReplay)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegRunningMaximum)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ToolPeakMemory)
    ->Arg(10)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
