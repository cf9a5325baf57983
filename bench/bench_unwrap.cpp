#include "PanoramaUnwrapper.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

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

// The unwrapper's own mapping as remap maps: unwrapping an image whose
// pixels spell out their column and row tells where each sample comes from.
void startupMaps(cv::Mat& fixedMap, cv::Mat& emptyMap) {
    cv::Mat coordinates(480, 640, CV_8UC3);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            coordinates.at<cv::Vec3b>(y, x) = cv::Vec3b(x & 0xff, y & 0xff, (x >> 8) | ((y >> 8) << 4));
    PanoramaUnwrapper unwrapper;
    configureStartup(unwrapper);
    unwrapper.generateTransformation();
    cv::Mat* panorama = nullptr;
    unwrapper.unwrap(&coordinates, &panorama);
    cv::Mat map(panorama->size(), CV_16SC2);
    for (int row = 0; row < map.rows; ++row)
        for (int col = 0; col < map.cols; ++col) {
            const cv::Vec3b p = panorama->at<cv::Vec3b>(row, col);
            map.at<cv::Vec2s>(row, col) = cv::Vec2s(p[0] | ((p[2] & 15) << 8), p[1] | ((p[2] >> 4) << 8));
        }
    delete panorama;
    fixedMap = map;
    emptyMap = cv::Mat();
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
