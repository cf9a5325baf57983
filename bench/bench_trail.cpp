#include "core/VectorPath.h"
#include "cvio.h"
#include "products/Keogram.h"
#include "products/Timelapse.h"
#include "trail/TimeMap.h"
#include "trail/TrailGrowth.h"
#include "trail/TrailLoop.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

cv::Mat sceneWithDot(cv::Size size, int step) {
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(40));  // a noisy dark scene
    image(cv::Rect(step % (size.width - 5), size.height / 2, 5, 5)).setTo(cv::Scalar::all(255));
    return image;
}

// Hands out prepared images without copying, as a camera driver's buffer would.
// Stamps them msPerRead apart.
class PreparedCamera : public Camera {
public:
    std::vector<cv::Mat> images;
    size_t next = 0;
    int64_t ms = 0;
    int64_t msPerRead = 0;
    bool isOpened() const override { return true; }
    void configure(const CameraMode&) override {}
    CameraMode reported() const override { return {}; }
    void read(Frame& frame) override {
        frame.image = images[next++ % images.size()];
        frame.millis = ms += msPerRead;
    }
};

class FixedClock : public ProcessorClock {
public:
    std::clock_t now() override { return 0; }
};

// No windows, no keys, no files: the pass's own work only.
class NoDevices : public Display, public SnapshotStore {
public:
    void show(const std::string&, const cv::Mat&) override {}
    void place(const std::string&, cv::Point) override {}
    int pollKey(int) override { return -1; }
    bool hasRoom() override { return true; }
    bool taken(int32_t) override { return false; }
    bool mayReplace(int32_t) override { return true; }
};

cv::Size sizeOf(const benchmark::State& state) {
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

void BM_PlainCopy(benchmark::State& state) {
    const cv::Mat frame = sceneWithDot(sizeOf(state), 1);
    cv::Mat copy = frame.clone();
    for (auto _ : state) {
        frame.copyTo(copy);
        benchmark::DoNotOptimize(copy.data);
    }
}

void BM_Merge(benchmark::State& state) {
    const cv::Mat frame = sceneWithDot(sizeOf(state), 1);
    cv::Mat trail = sceneWithDot(sizeOf(state), 2);
    for (auto _ : state) {
        cv::max(trail, frame, trail);
        benchmark::DoNotOptimize(trail.data);
    }
}

// The same merge on 16-bit images (--depth 16), the tick's growth measure
// on 16-bit images (the plain form, shifted to 8-bit steps).
cv::Mat sixteenBits(const cv::Mat& image) {
    cv::Mat wide;
    image.convertTo(wide, CV_16U, 257);
    return wide;
}

void BM_Merge16(benchmark::State& state) {
    const cv::Mat frame = sixteenBits(sceneWithDot(sizeOf(state), 1));
    cv::Mat trail = sixteenBits(sceneWithDot(sizeOf(state), 2));
    for (auto _ : state) {
        cv::max(trail, frame, trail);
        benchmark::DoNotOptimize(trail.data);
    }
}

void BM_TickGrowth16(benchmark::State& state) {
    const cv::Mat trail = sixteenBits(sceneWithDot(sizeOf(state), 9));
    cv::Mat previous = sixteenBits(sceneWithDot(sizeOf(state), 2));
    for (auto _ : state)
        benchmark::DoNotOptimize(firstChannelGrowth(trail, previous));
}

// A noisy camera's trail, started afresh every `trailImages` images (the
// third argument): the merge alone, and the merge that also keeps the time
// map, over the same images. 64 distinct frames: in a trail of 64 images a
// fifth of the pixels still rise at each image; in one of 1024, about one in
// a hundred, as in a trail half a minute old.
struct NoisyTrail {
    std::vector<cv::Mat> frames;
    cv::Mat trail, times;
    size_t trailImages;
    explicit NoisyTrail(const benchmark::State& state)
        : times(sizeOf(state), CV_32FC1, cv::Scalar(0)), trailImages(static_cast<size_t>(state.range(2))) {
        for (int i = 0; i < 64; ++i)
            frames.push_back(sceneWithDot(sizeOf(state), i * 7));
        frames[0].copyTo(trail);
    }
    const cv::Mat& frame(size_t n) {
        if (n % trailImages == 0) frames[0].copyTo(trail);
        return frames[n % frames.size()];
    }
};

void BM_MergeNoisy(benchmark::State& state) {
    NoisyTrail noisy(state);
    size_t n = 0;
    for (auto _ : state) {
        cv::max(noisy.trail, noisy.frame(n++), noisy.trail);
        benchmark::DoNotOptimize(noisy.trail.data);
    }
}

void BM_MergeNoisyWithTimes(benchmark::State& state) {
    NoisyTrail noisy(state);
    size_t n = 0;
    for (auto _ : state) {
        mergeRecordingTimes(noisy.trail, noisy.times, noisy.frame(n), static_cast<float>(n));
        ++n;
        benchmark::DoNotOptimize(noisy.trail.data);
    }
}

// The info tick's measurement as it was first written, kept as the baseline:
// a three-channel saturating subtraction, a copy and a three-channel sum.
void BM_TickSubtractAndSum(benchmark::State& state) {
    const cv::Mat trail = sceneWithDot(sizeOf(state), 9);
    cv::Mat previous = sceneWithDot(sizeOf(state), 2);
    cv::Mat difference;
    for (auto _ : state) {
        cv::subtract(trail, previous, difference);
        trail.copyTo(previous);
        benchmark::DoNotOptimize(cv::sum(difference)[0]);
    }
}

// The processor and the vector path of the run, in its context: a run on a
// Raspberry Pi compares with one here by these.
const bool kContext = [] {
    benchmark::AddCustomContext("processor", processorName());
    benchmark::AddCustomContext("vector path", vectorPathName(bestVectorPath()));
    return true;
}();

// The tick's growth and merge at 1080p by each vector path this build and
// processor have (0 plain, 1 universal, 2 AVX2, 3 AVX-512), each against the
// plain loop in the same run.
void BM_TickGrowthAndMergeByPath(benchmark::State& state) {
    const auto path = static_cast<VectorPath>(state.range(0));
    if (path > bestVectorPath()) return state.SkipWithError("not on this processor");
    useVectorPath(path);
    cv::Mat trail = sceneWithDot({1920, 1080}, 9), previous = sceneWithDot({1920, 1080}, 2);
    const cv::Mat frame = sceneWithDot({1920, 1080}, 5);
    for (auto _ : state)
        benchmark::DoNotOptimize(firstChannelGrowthAndMerge(trail, previous, frame));
    state.SetLabel(vectorPathName(path));
    useVectorPath(bestVectorPath());
}

void BM_TickGrowth(benchmark::State& state) {
    const cv::Mat trail = sceneWithDot(sizeOf(state), 9);
    cv::Mat previous = sceneWithDot(sizeOf(state), 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(firstChannelGrowth(trail, previous));
}

// One loop pass without the camera wait and the key wait; ticksEvery 1 makes
// every pass an info tick, 30 is one tick a second at 30 images per second,
// 0 never ticks after the first pass.
void pass(benchmark::State& state, const std::vector<TrailListener*>& listeners) {
    PreparedCamera camera;
    for (int i = 0; i < 8; ++i)
        camera.images.push_back(sceneWithDot(sizeOf(state), i * 7));
    camera.msPerRead = state.range(2) == 0 ? 0 : 1000 / state.range(2);
    FixedClock clock;
    NoDevices devices;
    FILE* sink = std::fopen("/dev/null", "w");
    CaptureState capture(camera, clock, sink);
    CaptureSource source(capture);
    TrailLoop loop({devices, devices, stdin}, {}, listeners);
    loop.pass(source);  // the first pass only creates the trail
    for (auto _ : state) {
        loop.pass(source);
        TrailState kept = loop.state();
        kept.frameCounter = 0;  // keep the countdown from arming
        loop.setState(std::move(kept));
    }
    std::fclose(sink);
}

void BM_Pass(benchmark::State& state) { pass(state, {}); }

// The same with the night products: a keogram column every 30 s, a
// timelapse image every 10 s (encoded on its own thread).
void BM_PassWithNightProducts(benchmark::State& state) {
    std::string folder = (std::filesystem::temp_directory_path() / "trailcam-bench-XXXXXX").string();
    mkdtemp(folder.data());
    {
        Keogram keogram(folder, 30, nullptr, stderr);
        Timelapse timelapse({folder, TimelapseSettings::Shows::frame, 10, 30, false}, stderr);
        pass(state, {&keogram, &timelapse});
        keogram.ended();
        timelapse.ended();
    }
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_PlainCopy)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_Merge)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_Merge16)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_TickGrowth16)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_TickGrowthAndMergeByPath)->DenseRange(0, 3);
BENCHMARK(BM_MergeNoisy)
    ->Args({640, 480, 1024})
    ->Args({1920, 1080, 1024})
    ->Args({640, 480, 64})
    ->Args({1920, 1080, 64});
BENCHMARK(BM_MergeNoisyWithTimes)
    ->Args({640, 480, 1024})
    ->Args({1920, 1080, 1024})
    ->Args({640, 480, 64})
    ->Args({1920, 1080, 64});
BENCHMARK(BM_TickSubtractAndSum)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_TickGrowth)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_PassWithNightProducts)->Args({640, 480, 30})->Args({1920, 1080, 30});
BENCHMARK(BM_Pass)
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({640, 480, 30})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 30});
