#include "calibration/Calibrator.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <utility>
#include <vector>

// What calibration adds to each image: the merge alone against a master
// dark taken off and 200 hot pixels filled as the loop merges. Sizes and
// depths as cameras send them: 640x480 and 1080p in 8 bits, 1080p in 16.
// As a camera's images are, each image is new to the processor's caches:
// eight of them in turn.
namespace {

cv::Mat noisy(cv::Size size, int type, int seed) {
    cv::Mat image(size, type);
    cv::RNG(static_cast<uint64_t>(seed))
        .fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 10000 : 40);
    return image;
}

int typeOf(const benchmark::State& state) { return state.range(2) == 16 ? CV_16UC1 : CV_8UC3; }
cv::Size sizeOf(const benchmark::State& state) {
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

std::vector<cv::Mat> cameraImages(const benchmark::State& state) {
    std::vector<cv::Mat> images;
    for (int i = 0; i < 8; ++i)
        images.push_back(noisy(sizeOf(state), typeOf(state), 10 + i));
    return images;
}

void BM_MergeAlone(benchmark::State& state) {
    const std::vector<cv::Mat> images = cameraImages(state);
    cv::Mat trail = noisy(sizeOf(state), typeOf(state), 2);
    size_t next = 0;
    for (auto _ : state) {
        cv::max(trail, images[next++ % images.size()], trail);
        benchmark::DoNotOptimize(trail.data);
    }
}

void BM_CalibrateAndMerge(benchmark::State& state) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "trailcam-bench-calibration";
    std::filesystem::create_directories(folder);
    const std::vector<cv::Mat> images = cameraImages(state);
    cv::Mat mask(sizeOf(state), CV_8UC1, cv::Scalar(0));
    cv::RNG random(5);
    for (int i = 0; i < 200; ++i)
        mask.at<uchar>(random.uniform(0, mask.rows), random.uniform(0, mask.cols)) = 255;
    cv::imwrite((folder / "dark.png").string(), noisy(sizeOf(state), typeOf(state), 3) / 4);
    cv::imwrite((folder / "mask.png").string(), mask);
    CalibrationSettings settings;
    settings.dark = (folder / "dark.png").string();
    settings.hotPixels = (folder / "mask.png").string();
    settings.hotMargin = 254;  // the mask's pixels only
    FILE* quiet = std::fopen("/dev/null", "w");
    auto calibrator = Calibrator::make(settings, folder.string(), quiet);
    if (!calibrator) return state.SkipWithError(calibrator.reason().c_str());
    cv::Mat trail = noisy(sizeOf(state), typeOf(state), 2);
    size_t next = 0;
    for (auto _ : state) {
        Frame read{images[next++ % images.size()], 0};
        (*calibrator)->apply(read);
        std::exchange(read.finish, nullptr)(&trail);  // as the loop merges
        benchmark::DoNotOptimize(trail.data);
    }
    std::fclose(quiet);
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_MergeAlone)
    ->Args({640, 480, 8})
    ->Args({1920, 1080, 8})
    ->Args({1920, 1080, 16})
    ->Args({3840, 2160, 8});
BENCHMARK(BM_CalibrateAndMerge)
    ->Args({640, 480, 8})
    ->Args({1920, 1080, 8})
    ->Args({1920, 1080, 16})
    ->Args({3840, 2160, 8});
