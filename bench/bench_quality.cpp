#include "quality/SkyMeasure.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

// One measurement of the sky (--sky-quality): SEP's background, noise and
// objects on an 8-bit colour image of noise and a star every 40 x 40 pixels,
// as a camera's 640x480, 1080p and 4K images.
namespace {

cv::Mat starrySky(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::RNG(3).fill(image, cv::RNG::NORMAL, 20, 3);
    for (int y = 20; y < size.height - 20; y += 40)
        for (int x = 20; x < size.width - 20; x += 40)
            cv::circle(image, {x, y}, 1, cv::Scalar::all(160), cv::FILLED);
    return image;
}

void BM_MeasureSky(benchmark::State& state) {
    const cv::Mat image = starrySky({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
    int stars = 0;
    for (auto _ : state) {
        const Result<SkyMeasurement> measured = measureSky(image);
        if (!measured) return state.SkipWithError(measured.reason().c_str());
        stars = measured->stars;
    }
    state.counters["stars"] = stars;
}

}  // namespace

BENCHMARK(BM_MeasureSky)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond);
