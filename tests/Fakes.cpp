#include "Fakes.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

cv::Mat movingDotImage(int index, cv::Size size) {
    cv::Mat image(size, CV_8UC3, cv::Scalar::all(0));
    const int span = size.width - 3;
    image(cv::Rect(index % span, (index / span * 3) % (size.height - 3), 3, 3)).setTo(cv::Scalar::all(255));
    return image;
}

void SyntheticCamera::read(cv::Mat& image) {
    ++reads;
    image.release();
    if (!opened) return;
    if (!queued.empty()) {
        image = queued.front();
        queued.pop_front();
    } else if (budget > 0) {
        --budget;
        image = scene(reads);
    }
}

int ScriptedDisplay::pollKey(int) {
    ++polls;
    if (keys.empty()) return -1;
    const int key = keys.front();
    keys.pop_front();
    return key;
}

CapturedStream::~CapturedStream() {
    std::fclose(file);
    std::free(data);
}

std::string CapturedStream::text() {
    std::fflush(file);
    return std::string(data, size);
}

std::vector<std::string> CapturedStream::lines() {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

TempWorkingDir::TempWorkingDir() : previous(fs::current_path().string()) {
    path = (fs::temp_directory_path() / "trailcam-test-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    fs::current_path(path);
}

TempWorkingDir::~TempWorkingDir() {
    fs::current_path(previous);
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
