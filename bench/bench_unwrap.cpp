#include "PanoramaUnwrapper.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

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

// The unwrapper's own mapping as remap maps and as a byte table like the
// class keeps: unwrapping an image whose pixels spell out their column and
// row tells where each sample comes from.
void startupMaps(cv::Mat& fixedMap, cv::Mat& emptyMap, std::vector<uint64_t>* table = nullptr) {
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
            const int x = p[0] | ((p[2] & 15) << 8), y = p[1] | ((p[2] >> 4) << 8);
            map.at<cv::Vec2s>(row, col) = cv::Vec2s(static_cast<int16_t>(x), static_cast<int16_t>(y));
            for (uint64_t c = 0; table != nullptr && c < 3; ++c)
                table->push_back((uint64_t{640} * y + x) * 3 + c);
        }
    delete panorama;
    fixedMap = map;
    emptyMap = cv::Mat();
}

// The copy loop of the first release, kept as the baseline: rows split by
// OpenCV one per stripe, every four-pixel group checked against the input end.
void previousCopy(const uint64_t* table, const uint8_t* input, uint64_t inputBytes, uint8_t* output,
                  uint64_t begin, uint64_t end) {
    uint64_t k = begin;
    for (; k + 12 < end; k += 12) {
        const uint64_t a = table[k], b = table[k + 3], c = table[k + 6], d = table[k + 9];
        if (std::max(std::max(a, b), std::max(c, d)) + 4 > inputBytes) break;
        uint32_t wa, wb, wc, wd;
        std::memcpy(&wa, input + a, 4);
        std::memcpy(&wb, input + b, 4);
        std::memcpy(&wc, input + c, 4);
        std::memcpy(&wd, input + d, 4);
        std::memcpy(output + k, &wa, 4);
        std::memcpy(output + k + 3, &wb, 4);
        std::memcpy(output + k + 6, &wc, 4);
        std::memcpy(output + k + 9, &wd, 4);
    }
    for (; k + 3 < end; k += 3) {
        const uint64_t offset = table[k];
        if (offset + 4 <= inputBytes) {
            uint32_t word;
            std::memcpy(&word, input + offset, 4);
            std::memcpy(output + k, &word, 4);
        } else {
            std::memcpy(output + k, input + offset, 3);
        }
    }
    if (k < end) std::memcpy(output + k, input + table[k], 3);
}

void BM_UnwrapPreviousLoop(benchmark::State& state) {
    cv::Mat fixedMap, emptyMap;
    std::vector<uint64_t> table;
    startupMaps(fixedMap, emptyMap, &table);
    const cv::Mat input = cameraLikeImage();
    const uint64_t rowBytes = 800 * 3;
    for (auto _ : state) {
        auto* panorama = new cv::Mat(127, 800, CV_8UC3);
        cv::parallel_for_(cv::Range(0, 127), [&](const cv::Range& rows) {
            previousCopy(table.data(), input.data, 640 * 480 * 3, panorama->data, rows.start * rowBytes,
                         rows.end * rowBytes);
        });
        benchmark::DoNotOptimize(panorama->data);
        delete panorama;
    }
    state.SetBytesProcessed(state.iterations() * 800 * 127 * 3);
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

// The first unwrap of a fresh process, as the tool meets it at start-up:
// each iteration starts bench_first_unwrap, which times its one call.
void BM_FirstUnwrapInFreshProcess(benchmark::State& state) {
    for (auto _ : state) {
        FILE* child = popen(FIRST_UNWRAP_PROGRAM, "r");
        double micros = -1;
        if (child == nullptr || std::fscanf(child, "%lf", &micros) != 1 || pclose(child) != 0 || micros < 0) {
            state.SkipWithError("bench_first_unwrap failed");
            return;
        }
        state.SetIterationTime(micros / 1e6);
    }
}

BENCHMARK(BM_UnwrapTable)->UseRealTime();
BENCHMARK(BM_UnwrapPreviousLoop)->UseRealTime();
BENCHMARK(BM_FirstUnwrapInFreshProcess)->UseManualTime()->Iterations(30);
BENCHMARK(BM_RemapNearest)->UseRealTime();
BENCHMARK(BM_GenerateTable);
