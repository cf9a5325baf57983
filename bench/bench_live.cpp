// A Motion-JPEG camera's images decoded and merged into the trail: one after
// another on the loop's thread, as before, against the pool that decodes
// several at once. Images per second over the same busy-scene JPEGs.
#include "calibration/Calibrator.h"
#include "camera/PooledDecoding.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr int kImages = 12;

// A street by day as a webcam sees it: many edges and textures, some noise,
// compressed at a webcam's usual quality.
std::vector<std::vector<uchar>> busyScene(cv::Size size) {
    static std::map<int, std::vector<std::vector<uchar>>> made;
    auto& images = made[size.width];
    if (!images.empty()) return images;
    cv::RNG random(2026);
    cv::Mat scene(size, CV_8UC3);
    random.fill(scene, cv::RNG::UNIFORM, 40, 200);
    cv::GaussianBlur(scene, scene, {0, 0}, 3);
    for (int i = 0; i < 400; ++i) {
        const cv::Point corner(random.uniform(0, size.width), random.uniform(0, size.height));
        const cv::Scalar colour(random.uniform(0, 256), random.uniform(0, 256), random.uniform(0, 256));
        cv::rectangle(
            scene,
            {corner, cv::Size(random.uniform(10, size.width / 8), random.uniform(10, size.height / 8))},
            colour, random.uniform(0, 2) == 0 ? cv::FILLED : 3);
    }
    for (int i = 0; i < kImages; ++i) {
        cv::Mat noisy(size, CV_8UC3), image;
        random.fill(noisy, cv::RNG::NORMAL, 0, 6);
        cv::add(scene, noisy, image);
        std::vector<uchar> bytes;
        cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
        images.push_back(std::move(bytes));
    }
    return images;
}

// Hands the JPEGs over, round and round, as a Motion-JPEG camera's driver
// does (undecoded, one row of bytes).
class JpegCamera : public Camera {
public:
    explicit JpegCamera(std::vector<std::vector<uchar>> images) : images_(std::move(images)) {}
    bool isOpened() const override { return true; }
    void configure(const CameraMode&) override {}
    CameraMode reported() const override { return {}; }
    bool deliverCompressed() override { return true; }
    void read(Frame& frame) override {
        const std::vector<uchar>& bytes = images_[next_++ % images_.size()];
        frame.image = cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<uchar*>(bytes.data()));
        frame.millis = static_cast<int64_t>(next_) * 33;
    }

private:
    std::vector<std::vector<uchar>> images_;
    size_t next_ = 0;
};

cv::Size sizeOf(const benchmark::State& state) {
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

void countImages(benchmark::State& state) {
    state.counters["images_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SerialDecodeMerge(benchmark::State& state) {
    const auto images = busyScene(sizeOf(state));
    cv::Mat trail(sizeOf(state), CV_8UC3, cv::Scalar::all(0)), image;
    size_t next = 0;
    for (auto _ : state) {
        cv::imdecode(images[next++ % images.size()], cv::IMREAD_COLOR, &image);  // into the same pixels
        cv::max(trail, image, trail);
    }
    countImages(state);
}

void BM_PoolDecodeMerge(benchmark::State& state) {
    JpegCamera camera(busyScene(sizeOf(state)));
    PooledDecoding pooled(camera, 2, stderr);
    pooled.configure({});
    cv::Mat trail(sizeOf(state), CV_8UC3, cv::Scalar::all(0));
    Frame frame;
    for (auto _ : state) {
        pooled.read(frame);
        cv::max(trail, frame.image, trail);
    }
    countImages(state);
}

// The same with a master dark and 200 hot pixels (--dark, --hot-pixels FILE):
// serially, and on the pool, calibrated on the loop's thread as it merges.
struct Calibration {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "trailcam-bench-live";
    FILE* quiet = std::fopen("/dev/null", "w");
    std::unique_ptr<Calibrator> calibrator;
    explicit Calibration(cv::Size size) {
        std::filesystem::create_directories(folder);
        cv::Mat dark(size, CV_8UC3), mask(size, CV_8UC1, cv::Scalar(0));
        cv::randu(dark, cv::Scalar::all(0), cv::Scalar::all(8));
        cv::RNG random(5);
        for (int i = 0; i < 200; ++i)
            mask.at<uchar>(random.uniform(0, size.height), random.uniform(0, size.width)) = 255;
        cv::imwrite((folder / "dark.png").string(), dark);
        cv::imwrite((folder / "mask.png").string(), mask);
        CalibrationSettings settings;
        settings.dark = (folder / "dark.png").string();
        settings.hotPixels = (folder / "mask.png").string();
        settings.hotMargin = 254;
        calibrator = std::move(*Calibrator::make(settings, folder.string(), quiet));
    }
    ~Calibration() {
        std::fclose(quiet);
        std::filesystem::remove_all(folder);
    }
};

void BM_SerialDecodeCalibrateMerge(benchmark::State& state) {
    const auto images = busyScene(sizeOf(state));
    Calibration calibration(sizeOf(state));
    cv::Mat trail(sizeOf(state), CV_8UC3, cv::Scalar::all(0));
    Frame frame;
    size_t next = 0;
    for (auto _ : state) {
        cv::imdecode(images[next++ % images.size()], cv::IMREAD_COLOR, &frame.image);
        calibration.calibrator->apply(frame);
        std::exchange(frame.finish, nullptr)(&trail);  // calibrated as the loop merges
        frame.image = frame.own;                       // the camera's buffer, decoded into again
    }
    countImages(state);
}

void BM_PoolDecodeCalibrateMerge(benchmark::State& state) {
    JpegCamera camera(busyScene(sizeOf(state)));
    PooledDecoding pooled(camera, 2, stderr);
    Calibration calibration(sizeOf(state));
    CalibratedCamera calibrated(pooled, *calibration.calibrator);
    calibrated.configure({});
    cv::Mat trail(sizeOf(state), CV_8UC3, cv::Scalar::all(0));
    Frame frame;
    for (auto _ : state) {
        calibrated.read(frame);
        std::exchange(frame.finish, nullptr)(&trail);  // calibrated as the loop merges
    }
    countImages(state);
}

}  // namespace

BENCHMARK(BM_SerialDecodeCalibrateMerge)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PoolDecodeCalibrateMerge)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerialDecodeMerge)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PoolDecodeMerge)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
