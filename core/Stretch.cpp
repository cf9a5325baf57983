#include "core/Stretch.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kLowShare = 0.001, kHighShare = 0.999;
constexpr double kAsinhSoftening = 10;  // how far the curve lifts the faint end

// The values below which the given shares of all the image's values lie.
std::pair<int, int> percentiles(const cv::Mat& image) {
    std::vector<uint64_t> counts(65536, 0);
    for (int row = 0; row < image.rows; ++row) {
        const auto* value = image.ptr<uint16_t>(row);
        for (int i = 0; i < image.cols * image.channels(); ++i)
            ++counts[value[i]];
    }
    const auto total = static_cast<double>(image.total() * static_cast<size_t>(image.channels()));
    int low = -1, high = 65535;
    uint64_t seen = 0;
    for (int v = 0; v < 65536; ++v) {
        seen += counts[static_cast<size_t>(v)];
        if (low < 0 && static_cast<double>(seen) > total * kLowShare) low = v;
        if (static_cast<double>(seen) >= total * kHighShare) {
            high = v;
            break;
        }
    }
    low = std::max(low, 0);
    return {low, std::max(high, low + 1)};
}

}  // namespace

cv::Mat stretchToEightBits(const cv::Mat& image, Stretch stretch) {
    if (image.depth() == CV_8U || image.empty()) return image;
    cv::Mat sixteen = image;
    if (image.depth() != CV_16U)
        image.convertTo(sixteen, CV_16U, image.depth() == CV_32F || image.depth() == CV_64F ? 65535 : 1);
    std::vector<uchar> table(65536);
    const auto [low, high] = stretch == Stretch::none ? std::pair<int, int>{0, 65535} : percentiles(sixteen);
    for (int v = 0; v < 65536; ++v) {
        const double x = std::clamp(static_cast<double>(v - low) / (high - low), 0.0, 1.0);
        const double y =
            stretch == Stretch::asinh ? std::asinh(kAsinhSoftening * x) / std::asinh(kAsinhSoftening) : x;
        table[static_cast<size_t>(v)] =
            cv::saturate_cast<uchar>(stretch == Stretch::none ? v / 257.0 : y * 255);
    }
    cv::Mat out(sixteen.size(), CV_MAKETYPE(CV_8U, sixteen.channels()));
    for (int row = 0; row < sixteen.rows; ++row) {
        const auto* from = sixteen.ptr<uint16_t>(row);
        uchar* to = out.ptr(row);
        for (int i = 0; i < sixteen.cols * sixteen.channels(); ++i)
            to[i] = table[from[i]];
    }
    return out;
}

std::optional<Stretch> stretchNamed(const std::string& name) {
    if (name == "linear") return Stretch::linear;
    if (name == "asinh") return Stretch::asinh;
    if (name == "none") return Stretch::none;
    return std::nullopt;
}
