#include "calibration/HotPixels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
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
void HotPixelMap::fillAs(cv::Mat& image) const {
    const int rowElements = size_.width * channels_;
    const auto at = [&image, rowElements](int32_t element) -> T& {
        return image.ptr<T>(element / rowElements)[element % rowElements];
    };
    std::vector<int> values;
    for (const Hot& pixel : hot_) {
        if (pixel.neighbours.empty()) continue;  // every neighbour hot: nothing to fill it from
        values.clear();
        for (const int32_t n : pixel.neighbours)
            values.push_back(at(n));
        std::sort(values.begin(), values.end());
        const size_t middle = values.size() / 2;
        at(pixel.element) = static_cast<T>(
            values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle] + 1) / 2);
    }
}

void HotPixelMap::fill(cv::Mat& image) const {
    if (hot_.empty() || !fits(image)) return;
    if (image.depth() == CV_16U)
        fillAs<uint16_t>(image);
    else if (image.depth() == CV_8U)
        fillAs<uint8_t>(image);
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

bool HotPixelLearner::add(const cv::Mat& image) {
    if (counts_.rows != image.rows || counts_.cols != image.cols * image.channels()) {
        counts_ = cv::Mat(image.rows, image.cols * image.channels(), CV_16UC1, cv::Scalar(0));
        channels_ = image.channels();
        seen_ = 0;
    }
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
