#pragma once

#include "core/Camera.h"
#include "core/Clocks.h"
#include "core/Display.h"
#include "core/FileSystem.h"
#include "core/TrailEvents.h"
#include "core/VectorPath.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// A black scene with a bright 3 x 3 dot that moves one step per image.
inline cv::Mat movingDotImage(int index, cv::Size size = {64, 48}) {
    cv::Mat image(size, CV_8UC3, cv::Scalar::all(0));
    const int span = size.width - 3;
    image(cv::Rect(index % span, (index / span * 3) % (size.height - 3), 3, 3)).setTo(cv::Scalar::all(255));
    return image;
}

// The words of a text, split at spaces.
inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// Until the condition holds, for a generous minute at most.
template <typename Condition>
bool eventually(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

// How many images a video reads back with; 0 when there is none.
inline int imagesIn(const std::string& path) {
    if (!std::filesystem::exists(path)) return 0;
    cv::VideoCapture video(path);
    int images = 0;
    for (cv::Mat image; video.read(image);)
        ++images;
    return images;
}

// Same size, type and pixels.
// Runs a check under each path of the per-image loops this build and this
// processor have, the plain loop first, and takes the best again after.
template <typename Check>
void forEachVectorPath(Check check) {
    for (int p = 0; p <= static_cast<int>(bestVectorPath()); ++p) {
        check(useVectorPath(static_cast<VectorPath>(p)));
    }
    useVectorPath(bestVectorPath());
}

// An 8- or 16-bit image filled as a vector path's edge cases want: 0 = all
// zero, 1 = all at the top, else uniformly random.
inline void fillForPaths(cv::Mat& image, int how, cv::RNG& random) {
    const double top = image.depth() == CV_16U ? 65535 : 255;
    if (how < 2)
        image.setTo(cv::Scalar::all(how == 0 ? 0 : top));
    else
        random.fill(image, cv::RNG::UNIFORM, 0, top + 1);
}

inline bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Hands out queued images (an empty one reads as empty), then scene images
// while its budget lasts, then empty ones; reopened, reopenedBudget more.
// Each image is stamped `now`, which then moves on by `step`.
struct SyntheticCamera : Camera {
    bool opened = true;
    std::function<cv::Mat(int)> scene = [](int index) { return movingDotImage(index); };
    int budget = 1 << 30, reopenedBudget = 0, reads = 0, reopens = 0;
    int64_t now = 0, step = 0;
    std::deque<cv::Mat> queued;
    CameraMode asked;  // and reported back, as a camera that obeys

    bool isOpened() const override { return opened; }
    void configure(const CameraMode& mode) override { asked = mode; }
    CameraMode reported() const override { return asked; }
    void read(Frame& frame) override {
        tellProgress();
        ++reads;
        frame.image = !opened           ? cv::Mat()
                      : !queued.empty() ? queued.front()
                      : budget-- > 0    ? scene(reads)
                                        : cv::Mat();
        if (opened && !queued.empty()) queued.pop_front();
        frame.millis = now, now += step;
    }
    void release() override { opened = false; }
    bool reopen() override { return ++reopens, budget = reopenedBudget, reopenedBudget = 0, opened = true; }
    // As a camera taking exposures of `exposureSeconds` tells how far each
    // is, twice before its image (from within read), when that is not 0.
    double exposureSeconds = 0;
    std::function<void(const Exposure&)> progress;
    void reportExposures(std::function<void(const Exposure&)> told) override { progress = std::move(told); }
    void tellProgress() {
        const auto ms = static_cast<int64_t>(exposureSeconds * 1000);
        if (progress && exposureSeconds > 0)
            for (const int64_t at : {ms / 4, ms / 2})
                progress({now - ms, exposureSeconds, now - ms + at});
    }
};

// A processor clock that advances by `step` at each reading.
struct SimulatedClock : ProcessorClock {
    std::clock_t value = 0, step = 0;
    std::clock_t now() override { return (value += step) - step; }
};

// Records the windows shown and answers key polls from a script, then -1.
struct ScriptedDisplay : Display {
    std::deque<int> keys;
    std::vector<std::string> shown;
    int polls = 0;
    void show(const std::string& window, const cv::Mat&) override { shown.push_back(window); }
    void place(const std::string&, cv::Point) override {}
    int pollKey(int) override {
        const int key = keys.empty() ? -1 : keys.front();
        if (++polls, !keys.empty()) keys.pop_front();
        return key;
    }
};

// Keeps the snapshots the loop makes in memory; can be told that there is no
// room, or that numbers are taken already.
struct MemorySnapshots : SnapshotStore, TrailListener {
    std::vector<SnapshotDue> made;
    std::set<int32_t> present;
    bool room = true;
    bool replace = true;
    bool hasRoom() override { return room; }
    bool taken(int32_t number) override { return present.count(number) > 0; }
    bool mayReplace(int32_t) override { return replace; }
    // Kept as handed over, without copies: the loop must not write to them again.
    void snapshotDue(const SnapshotDue& due) override {
        made.push_back(due);
        present.insert(due.number);
    }
};

// A FILE* whose text can be read back.
struct CapturedStream {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~CapturedStream() { std::fclose(file), std::free(data); }
    std::string text() { return std::fflush(file), std::string(data, size); }
    // The last lines written (all of them by default).
    std::vector<std::string> lines(size_t last = SIZE_MAX) {
        std::istringstream in(text());
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return {result.end() - static_cast<long>(std::min(last, result.size())), result.end()};
    }
};

// Runs a test inside a fresh empty working directory, removed afterwards.
// A file's bytes, as text; empty when there is none.
inline std::string textOf(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Local time is UTC while it lives.
struct LocalTimeIsUtc {
    LocalTimeIsUtc() { setenv("TZ", "UTC", 1), tzset(); }
    ~LocalTimeIsUtc() { unsetenv("TZ"), tzset(); }
};

struct TempWorkingDir {
    std::filesystem::path previous = std::filesystem::current_path(), path = makeAndEnter();
    static std::filesystem::path makeAndEnter() {
        std::string name = (std::filesystem::temp_directory_path() / "trailcam-test-XXXXXX").string();
        mkdtemp(name.data());  // on failure the name stays a template, and entering it throws
        return std::filesystem::current_path(name), name;
    }
    ~TempWorkingDir() { std::filesystem::current_path(previous), std::filesystem::remove_all(path); }
};

// A file of this many bytes, made with its folders, last written `age` ago.
inline void plant(const std::string& path, std::chrono::seconds age, size_t bytes = 1000) {
    if (std::filesystem::path(path).has_parent_path())
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << std::string(bytes, 'x');
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
}

// A wall clock that shows what it is set to.
struct SetWallClock : WallClock {
    int64_t now = 0;
    int64_t millis() const override { return now; }
};
