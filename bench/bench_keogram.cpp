#include "core/Json.h"
#include "products/Keogram.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kRows = 2160;  // the centre column of a 4K camera
const int64_t kDusk = *parseUtcTime("2026-12-07T18:00:00Z");

// The baseline: copying a column into place, which any keogram must do.
void BM_CopyColumn(benchmark::State& state) {
    const cv::Mat column(kRows, 1, CV_8UC3, cv::Scalar(10, 20, 30));
    cv::Mat keogram(kRows, 64, CV_8UC3);
    int at = 0;
    for (auto _ : state) {
        column.copyTo(keogram.col(at));
        at = (at + 1) % keogram.cols;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// A night of `range(0)` columns `range(1)` milliseconds apart (a file
// written once a minute of them, on the strip's own thread), timed per
// column on the loop's thread: the same at 1000 columns as at 10000.
void BM_KeogramColumns(benchmark::State& state) {
    const std::string folder = (fs::temp_directory_path() / "trailcam-bench-keogram").string();
    FILE* devNull = std::fopen("/dev/null", "w");
    const cv::Mat column(kRows, 1, CV_8UC3, cv::Scalar(10, 20, 30));
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(folder);
        {
            KeogramStrip strip(folder, "keogram", devNull);
            state.ResumeTiming();
            for (int64_t i = 0; i < state.range(0); ++i)
                strip.add(column, kDusk + i * state.range(1));
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    fs::remove_all(folder);
    std::fclose(devNull);
}

}  // namespace

BENCHMARK(BM_CopyColumn);
BENCHMARK(BM_KeogramColumns)->Args({1000, 1000})->Args({10000, 1000})->Unit(benchmark::kMillisecond);
