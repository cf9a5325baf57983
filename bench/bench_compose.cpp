// Composing a night's segments (1080p, lossless) against decoding them one
// after the other with cv::imread alone, in images per second; and the bytes
// a segment takes as PNG and as lossless WebP.
#include "segments/SegmentIndex.h"

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace {

constexpr int kSegments = 24;

// A segment of a night sky: noise below a few levels and star trails.
cv::Mat segmentImage(cv::Size size, int seed) {
    cv::RNG random(seed);
    cv::Mat image(size, CV_8UC3);
    random.fill(image, cv::RNG::UNIFORM, 0, 24);
    for (int star = 0; star < 400; ++star) {
        const cv::Point from(random.uniform(0, size.width), random.uniform(0, size.height));
        cv::line(image, from, from + cv::Point(random.uniform(-30, 30), random.uniform(-8, 8)),
                 cv::Scalar::all(random.uniform(120, 255)), 1, cv::LINE_AA);
    }
    return image;
}

struct Night {
    std::string folder;
    std::vector<SegmentEntry> entries;
    explicit Night(cv::Size size)
        : folder((std::filesystem::temp_directory_path() / "trailcam-bench-compose").string()) {
        std::filesystem::create_directories(folder);
        for (int i = 0; i < kSegments; ++i) {
            SegmentEntry e;
            e.file = std::to_string(i) + ".png";
            e.startMillis = i * 60000LL, e.endMillis = e.startMillis + 60000;
            cv::imwrite(folder + "/" + e.file, segmentImage(size, i));
            entries.push_back(e);
        }
    }
    ~Night() { std::filesystem::remove_all(folder); }
};

void ComposeOnEveryCore(benchmark::State& state) {
    const Night night({1920, 1080});
    for (auto _ : state)
        benchmark::DoNotOptimize(composeSegments(night.folder, night.entries, {}).used);
    state.SetItemsProcessed(state.iterations() * kSegments);
}

void ImreadOneAfterTheOther(benchmark::State& state) {
    const Night night({1920, 1080});
    for (auto _ : state)
        for (const SegmentEntry& e : night.entries)
            benchmark::DoNotOptimize(cv::imread(night.folder + "/" + e.file, cv::IMREAD_UNCHANGED).data);
    state.SetItemsProcessed(state.iterations() * kSegments);
}

// Bytes of one segment, as counters: PNG (OpenCV's default) and lossless WebP.
void SegmentBytes(benchmark::State& state) {
    const cv::Mat image =
        segmentImage({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))}, 1);
    std::vector<uchar> png, webp;
    for (auto _ : state) {
        cv::imencode(".png", image, png);
        cv::imencode(".webp", image, webp, {cv::IMWRITE_WEBP_QUALITY, 101});
    }
    state.counters["png_bytes"] = static_cast<double>(png.size());
    state.counters["webp_bytes"] = static_cast<double>(webp.size());
}

}  // namespace

BENCHMARK(ComposeOnEveryCore)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ImreadOneAfterTheOther)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SegmentBytes)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->Iterations(1);
