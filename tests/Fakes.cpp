#include "Fakes.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

cv::Mat movingDotImage(int index, cv::Size size) {
    cv::Mat image(size, CV_8UC3, cv::Scalar::all(0));
    const int span = size.width - 3;
    const int x = index % span;
    const int y = (index / span * 3) % (size.height - 3);
    image(cv::Rect(x, y, 3, 3)).setTo(cv::Scalar::all(255));
    return image;
}

bool SyntheticCamera::set(int property, double value) {
    requested[property] = value;
    return opened;
}

double SyntheticCamera::get(int property) const {
    const auto found = requested.find(property);
    return found == requested.end() ? 0 : found->second;
}

void SyntheticCamera::read(cv::Mat& image) {
    ++reads;
    image.release();
    if (!opened) return;
    if (!queued.empty()) {
        image = queued.front();
        queued.pop_front();
        return;
    }
    if (budget <= 0) return;
    --budget;
    image = scene(reads);
}

bool SyntheticCamera::reopen() {
    ++reopens;
    opened = true;
    budget = budgetAfterReopen;
    budgetAfterReopen = 0;
    return true;
}

std::vector<std::string> CapturedStream::lines() {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

TempWorkingDir::TempWorkingDir() {
    previous_ = std::filesystem::current_path().string();
    std::string pattern = (std::filesystem::temp_directory_path() / "trailcam-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    std::filesystem::current_path(path_);
}

TempWorkingDir::~TempWorkingDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
