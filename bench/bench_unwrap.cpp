#include "PanoramaUnwrapper.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

namespace {

void configureStartup(PanoramaUnwrapper& unwrapper) {
    unwrapper.unwrapWidth(800);
    unwrapper.originalCentre(0.5f, 0.5f);
    unwrapper.imageRadius(0.18f, 0.35f);
    unwrapper.offsetAngle(250);
    unwrapper.originalSize(640, 480);
}

cv::Mat cameraLikeImage() {
    cv::Mat image(480, 640, CV_8UC3);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
    return image;
}

// The same mapping as the unwrapper's table, as remap maps.
void startupMaps(cv::Mat& fixedMap, cv::Mat& emptyMap) {
    cv::Mat mapX(127, 800, CV_32FC1), mapY(127, 800, CV_32FC1);
    const float offset = static_cast<float>(250 * 0.0174532925);
    for (int row = 0; row < 127; ++row) {
        const float radius = (static_cast<float>(126 - row) / 127.0f) * (0.35f - 0.18f) + 0.18f;
        for (int col = 0; col < 800; ++col) {
            const float angle = static_cast<float>(col / 800.0f * 6.28318530718) + offset;
            const float u = (640.0f / 480.0f) * static_cast<float>(std::sin(double{angle})) * radius + 0.5f;
            const float v = 0.5f + static_cast<float>(std::cos(double{angle})) * radius;
            mapX.at<float>(row, col) = std::floor(640.0f * (1 - v));
            mapY.at<float>(row, col) = std::floor(480.0f * (1 - u));
        }
    }
    cv::convertMaps(mapX, mapY, fixedMap, emptyMap, CV_16SC2, true);
}

void BM_UnwrapTable(benchmark::State& state) {
    PanoramaUnwrapper unwrapper;
    configureStartup(unwrapper);
    unwrapper.generateTransformation();
    cv::Mat input = cameraLikeImage();
    for (auto _ : state) {
        cv::Mat* panorama = nullptr;
        unwrapper.unwrap(&input, &panorama);
        benchmark::DoNotOptimize(panorama->data);
        delete panorama;
    }
    state.SetBytesProcessed(state.iterations() * 800 * 127 * 3);
}

void BM_RemapNearest(benchmark::State& state) {
    cv::Mat fixedMap, emptyMap;
    startupMaps(fixedMap, emptyMap);
    const cv::Mat input = cameraLikeImage();
    for (auto _ : state) {
        cv::Mat panorama;  // a new image per call, as unwrap hands out
        cv::remap(input, panorama, fixedMap, emptyMap, cv::INTER_NEAREST);
        benchmark::DoNotOptimize(panorama.data);
    }
    state.SetBytesProcessed(state.iterations() * 800 * 127 * 3);
}

void BM_GenerateTable(benchmark::State& state) {
    PanoramaUnwrapper unwrapper;
    configureStartup(unwrapper);
    for (auto _ : state)
        benchmark::DoNotOptimize(unwrapper.generateTransformation());
}

}  // namespace

BENCHMARK(BM_UnwrapTable)->UseRealTime();
BENCHMARK(BM_RemapNearest)->UseRealTime();
BENCHMARK(BM_GenerateTable);
