#include "cvio.h"
#include "trail/TrailGrowth.h"
#include "trail/TrailLoop.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <cstdio>

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

void BM_TickGrowth(benchmark::State& state) {
    const cv::Mat trail = sceneWithDot(sizeOf(state), 9);
    cv::Mat previous = sceneWithDot(sizeOf(state), 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(firstChannelGrowth(trail, previous));
}

// One loop pass without the camera wait and the key wait; ticksEvery 1 makes
// every pass an info tick, 30 is one tick a second at 30 images per second,
// 0 never ticks after the first pass.
void BM_Pass(benchmark::State& state) {
    PreparedCamera camera;
    for (int i = 0; i < 8; ++i)
        camera.images.push_back(sceneWithDot(sizeOf(state), i * 7));
    camera.msPerRead = state.range(2) == 0 ? 0 : 1000 / state.range(2);
    FixedClock clock;
    NoDevices devices;
    FILE* sink = std::fopen("/dev/null", "w");
    CaptureState capture(camera, clock, sink);
    TrailLoop loop({devices, devices, stdin}, {}, {});
    loop.pass(capture);  // the first pass only creates the trail
    for (auto _ : state) {
        loop.pass(capture);
        TrailState kept = loop.state();
        kept.frameCounter = 0;  // keep the countdown from arming
        loop.setState(std::move(kept));
    }
    std::fclose(sink);
}

}  // namespace

BENCHMARK(BM_PlainCopy)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_Merge)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_TickSubtractAndSum)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_TickGrowth)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_Pass)
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({640, 480, 30})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1});
