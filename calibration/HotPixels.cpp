#include "calibration/HotPixels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <set>

HotPixelMap::HotPixelMap(const cv::Mat& mask, int channels) : size_(mask.size()), channels_(channels) {
    const int rowElements = size_.width * channels;
    // One 8-bit value an element, whatever the mask's depth and channels.
    cv::Mat hot = mask.reshape(1, size_.height) != 0;
    if (mask.channels() == 1 && channels > 1) {
        cv::Mat everyChannel;
        cv::merge(std::vector<cv::Mat>(static_cast<size_t>(channels), hot), everyChannel);
        hot = everyChannel.reshape(1, size_.height);
    }
    if (hot.cols != rowElements) hot = cv::Mat(size_.height, rowElements, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < size_.height; ++y)
        for (int e = 0; e < rowElements; ++e) {
            if (hot.at<uchar>(y, e) == 0) continue;
            Hot pixel{y * rowElements + e, {}};
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -channels; dx <= channels; dx += channels) {
                    const int ny = y + dy, ne = e + dx;
                    if ((dy == 0 && dx == 0) || ny < 0 || ny >= size_.height || ne < 0 || ne >= rowElements ||
                        hot.at<uchar>(ny, ne) != 0)
                        continue;
                    pixel.neighbours.push_back(ny * rowElements + ne);
                }
            hot_.push_back(std::move(pixel));
        }
}

template <typename T>
T& HotPixelMap::at(const cv::Mat& image, int32_t element) {
    if (image.isContinuous()) return reinterpret_cast<T*>(image.data)[element];
    const int rowElements = image.cols * image.channels();
    return const_cast<T*>(image.ptr<T>(element / rowElements))[element % rowElements];
}

std::pair<size_t, size_t> HotPixelMap::between(int fromRow, int toRow) const {
    const int64_t rowElements = int64_t{size_.width} * channels_;
    const auto first = [this, rowElements](int row) {
        const int64_t element = std::clamp<int64_t>(row, 0, size_.height) * rowElements;
        return static_cast<size_t>(
            std::lower_bound(hot_.begin(), hot_.end(), element,
                             [](const Hot& hot, int64_t at) { return hot.element < at; }) -
            hot_.begin());
    };
    return {first(fromRow), first(toRow)};
}

namespace {

void order(int& low, int& high) {
    const int smaller = std::min(low, high);
    high = std::max(low, high);
    low = smaller;
}

// The middle of nine values by a network of 19 exchanges, in registers and
// without a branch on the values: a hot pixel's neighbours are noise, and
// branches on noise mispredict.
__attribute__((always_inline)) inline int middleOfNine(std::array<int, 9> p) {
    order(p[1], p[2]), order(p[4], p[5]), order(p[7], p[8]), order(p[0], p[1]), order(p[3], p[4]);
    order(p[6], p[7]), order(p[1], p[2]), order(p[4], p[5]), order(p[7], p[8]), order(p[0], p[3]);
    order(p[5], p[8]), order(p[4], p[7]), order(p[3], p[6]), order(p[1], p[4]), order(p[2], p[5]);
    order(p[4], p[7]), order(p[2], p[4]), order(p[4], p[6]), order(p[2], p[4]);
    return p[4];
}

// The median of one to eight values (rounded up between the middle two):
// padded with as many values below every other as above, an even count's
// two middle ones each the middle of nine.
__attribute__((always_inline)) inline int median(std::array<int, 9> values, size_t count) {
    const size_t padded = count % 2 == 0 ? 8 : 9;
    for (size_t i = count; i < padded; ++i)
        values[i] = (i - count) % 2 == 0 ? INT_MIN : INT_MAX;
    if (padded == 9) return middleOfNine(values);
    values[8] = INT_MIN;
    const int lower = middleOfNine(values);
    values[8] = INT_MAX;
    return (lower + middleOfNine(values) + 1) / 2;
}

}  // namespace

template <typename T>
void HotPixelMap::fillAs(cv::Mat& image, size_t from, size_t to) const {
    std::array<int, 9> values{};
    for (size_t h = from; h < to; ++h) {
        const Hot& pixel = hot_[h];
        const size_t count = pixel.neighbours.size();
        if (count == 0) continue;  // every neighbour hot: nothing to fill it from
        for (size_t i = 0; i < count; ++i)
            values[i] = at<T>(image, pixel.neighbours[i]);
        at<T>(image, pixel.element) = static_cast<T>(median(values, count));
    }
}

void HotPixelMap::fill(cv::Mat& image, int fromRow, int toRow) const {
    if (hot_.empty() || !fits(image)) return;
    const auto [from, to] = between(fromRow, toRow);
    if (image.depth() == CV_16U)
        fillAs<uint16_t>(image, from, to);
    else if (image.depth() == CV_8U)
        fillAs<uint8_t>(image, from, to);
}

void HotPixelMap::keepValues(const cv::Mat& trail, int fromRow, int toRow, std::vector<int>& before) const {
    before.resize(hot_.size());
    if (!fits(trail)) return;
    const auto [from, to] = between(fromRow, toRow);
    for (size_t h = from; h < to; ++h)
        before[h] = trail.depth() == CV_16U ? at<uint16_t>(trail, hot_[h].element)
                                            : at<uint8_t>(trail, hot_[h].element);
}

void HotPixelMap::mergeFilled(cv::Mat& trail, const std::vector<int>& before, const cv::Mat& filled,
                              int fromRow, int toRow) const {
    if (!fits(trail) || !fits(filled) || before.size() != hot_.size() || trail.type() != filled.type())
        return;
    const bool deep = trail.depth() == CV_16U;
    const auto [from, to] = between(fromRow, toRow);
    for (size_t h = from; h < to; ++h) {
        const int32_t e = hot_[h].element;
        const int value =
            std::max(before[h], deep ? int{at<uint16_t>(filled, e)} : int{at<uint8_t>(filled, e)});
        if (deep)
            at<uint16_t>(trail, e) = static_cast<uint16_t>(value);
        else
            at<uint8_t>(trail, e) = static_cast<uint8_t>(value);
    }
}

cv::Mat HotPixelMap::mask() const {
    cv::Mat mask(size_.height, size_.width * channels_, CV_8UC1, cv::Scalar(0));
    for (const Hot& pixel : hot_)
        mask.ptr<uchar>(0)[pixel.element] = 255;
    return mask.reshape(channels_, size_.height);
}

int HotPixelMap::count() const {
    std::set<int32_t> pixels;
    for (const Hot& pixel : hot_)
        pixels.insert(pixel.element / channels_);
    return static_cast<int>(pixels.size());
}

cv::Mat standingOut(const cv::Mat& image, int margin) {
    // The median of the 3 x 3 window: for a pixel brighter than most of its
    // neighbours, the middle of its 8 neighbours.
    cv::Mat median, above;
    cv::medianBlur(image, median, 3);
    cv::subtract(image, median, above);  // saturating at 0
    const double levels = image.depth() == CV_16U ? margin * 257.0 : margin;
    cv::Mat out = above.reshape(1) > levels;
    return out.reshape(image.channels());
}

bool HotPixelLearner::add(const cv::Mat& image, int64_t millis) {
    const bool sameKind = counts_.rows == image.rows && counts_.cols == image.cols * image.channels();
    if (!sameKind || millis < lastMillis_) {
        counts_ = cv::Mat(image.rows, image.cols * image.channels(), CV_16UC1, cv::Scalar(0));
        channels_ = image.channels();
        seen_ = 0;
    } else if (seen_ > 0 && millis - lastMillis_ < kSpacingMillis) {
        return false;
    }
    if (seen_ == 0) firstMillis_ = millis;
    lastMillis_ = millis;
    const cv::Mat out = standingOut(image, margin_).reshape(1, image.rows);
    cv::add(counts_, cv::Scalar(1), counts_, out);
    return ++seen_ >= images_;
}

HotPixelMap HotPixelLearner::map() const {
    if (counts_.empty()) return {};
    const double needed = std::ceil(0.9 * seen_);
    const cv::Mat hot = counts_ >= needed;
    return HotPixelMap(hot.reshape(channels_, counts_.rows), channels_);
}
