#include "retention/Retention.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A folder after months of a busy sky: `count` snapshots, each with its
// sidecar and time map, an hour apart, nothing old enough to delete.
std::string plantedFolder(int count) {
    const std::string folder =
        (fs::temp_directory_path() / ("trailcam-retention-" + std::to_string(count))).string();
    if (fs::exists(folder + "/done")) return folder;
    fs::create_directories(folder);
    const std::string jpeg(100, 'j');
    for (int n = 0; n < count; ++n) {
        const std::string base = folder + "/" + std::to_string(n);
        std::ofstream(base + ".jpg") << jpeg;
        std::ofstream(base + "-time.jpg") << jpeg;
        char start[32];
        std::snprintf(start, sizeof start, "2026-%02d-%02dT%02d:00:00.000Z", 1 + n / 720 % 12,
                      1 + n / 24 % 28, n % 24);
        std::ofstream(base + ".json") << "{\"number\":" << n << ",\"start\":\"" << start << "\",\"end\":\""
                                      << start << "\",\"source\":\"/dev/video0\"}";
    }
    std::ofstream(folder + "/done") << "";
    return folder;
}

// The baseline: only reading the folder's names, as any check must.
void BM_ListFolder(benchmark::State& state) {
    const std::string folder = plantedFolder(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        size_t names = 0;
        for (const auto& entry : fs::directory_iterator(folder))
            names += entry.path().filename().string().size();
        benchmark::DoNotOptimize(names);
    }
}

// A retention check that finds nothing to delete: what the run pays after
// each snapshot and once a minute.
void BM_RetentionCheck(benchmark::State& state) {
    const std::string folder = plantedFolder(static_cast<int>(state.range(0)));
    FILE* devNull = std::fopen("/dev/null", "w");
    Retention retention(folder, "", {3650.0, std::nullopt}, devNull);
    for (auto _ : state)
        retention.enforce(1798761600000);  // 2027-01-01
    std::fclose(devNull);
}

}  // namespace

BENCHMARK(BM_ListFolder)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RetentionCheck)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
