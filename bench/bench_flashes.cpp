// The merge with flashes judged in the same pass against the merge alone
// (cv::max in place), on a night sky: a trail that holds the maximum of 100
// noisy images, and sixteen images of the same noise with 300 new stars
// each, merged in turn; every sixteen images the trail starts again from
// its copy (in both: the copy costs both the same).
#include "trail/FlashGate.h"

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <vector>

namespace {

cv::Size sizeOf(const benchmark::State& state) {
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

struct Night {
    cv::Mat start;
    std::vector<cv::Mat> images;
};

Night night(cv::Size size, int brighter = 0) {
    Night n{cv::Mat(size, CV_8UC3, cv::Scalar::all(0)), {}};
    cv::RNG random(3);
    cv::Mat noise(size, CV_8UC3);
    for (int i = 0; i < 100; ++i) {
        random.fill(noise, cv::RNG::UNIFORM, 0, 40);
        cv::max(n.start, noise, n.start);
    }
    for (int i = 0; i < 16; ++i) {
        random.fill(noise, cv::RNG::UNIFORM, 0, 40);
        cv::Mat image = noise + cv::Scalar::all(brighter);
        for (int star = 0; star < 300; ++star)
            image.at<cv::Vec3b>(random.uniform(0, size.height), random.uniform(0, size.width)) =
                cv::Vec3b::all(220);
        n.images.push_back(image);
    }
    return n;
}

template <typename Merge>
void run(benchmark::State& state, const Night& n, Merge merge) {
    cv::Mat trail;
    size_t k = 0;
    for (auto _ : state) {
        if (k % n.images.size() == 0) n.start.copyTo(trail);
        merge(trail, n.images[k++ % n.images.size()]);
        benchmark::DoNotOptimize(trail.data);
    }
}

void MergeAlone(benchmark::State& state) {
    run(state, night(sizeOf(state)),
        [](cv::Mat& trail, const cv::Mat& image) { cv::max(trail, image, trail); });
}

void MergeJudgingFlashes(benchmark::State& state) {
    FlashGate gate;
    run(state, night(sizeOf(state)),
        [&gate](cv::Mat& trail, const cv::Mat& image) { gate.mergeUnlessFlash(trail, image, 32, 0.05); });
}

// Flashes (every image 100 levels brighter): each is merged as far as its
// share allows, taken back, and counted whole for its share.
void JudgingFlashes(benchmark::State& state) {
    FlashGate gate;
    run(state, night(sizeOf(state), 100),
        [&gate](cv::Mat& trail, const cv::Mat& image) { gate.mergeUnlessFlash(trail, image, 32, 0.05); });
}

}  // namespace

BENCHMARK(MergeAlone)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(MergeJudgingFlashes)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(JudgingFlashes)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
