#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <utility>
#include <vector>

// A sensor's hot pixels, each in its own channel, and how each is filled: by
// the median of its 8 neighbours in that channel, leaving out the image's
// edge and neighbours that are hot themselves. A short list, so filling
// costs nothing beside a pass over the image.
class HotPixelMap {
public:
    HotPixelMap() = default;
    // The map of a mask: a non-zero value marks its pixel hot, in every
    // channel of `channels` when the mask has one, else in its own channel.
    HotPixelMap(const cv::Mat& mask, int channels);

    // Fills the hot pixels of an image of the map's size and channels; only
    // those of rows [fromRow, toRow) when given (their neighbours are read
    // from the rows around them).
    void fill(cv::Mat& image, int fromRow = 0, int toRow = INT32_MAX) const;
    // The trail's values at the hot pixels of rows [fromRow, toRow), kept in
    // `before` (a value for each hot element of the map).
    void keepValues(const cv::Mat& trail, int fromRow, int toRow, std::vector<int>& before) const;
    // For a trail that has taken an image before its hot pixels were filled:
    // each hot pixel of rows [fromRow, toRow) becomes the larger of what it
    // held before and the filled image's value.
    void mergeFilled(cv::Mat& trail, const std::vector<int>& before, const cv::Mat& filled, int fromRow,
                     int toRow) const;
    // The mask: the map's size, non-zero where a pixel is hot.
    cv::Mat mask() const;
    bool fits(const cv::Mat& image) const { return image.size() == size_ && image.channels() == channels_; }
    // Hot pixels, counted once however many of their channels are hot.
    int count() const;
    bool empty() const { return hot_.empty(); }
    cv::Size size() const { return size_; }

private:
    struct Hot {
        int32_t element;                  // y * width * channels + x * channels + channel
        std::vector<int32_t> neighbours;  // elements, the hot ones left out
    };
    template <typename T>
    void fillAs(cv::Mat& image, size_t from, size_t to) const;
    template <typename T>
    static T& at(const cv::Mat& image, int32_t element);
    // The hot elements of rows [fromRow, toRow), as indexes into hot_.
    std::pair<size_t, size_t> between(int fromRow, int toRow) const;

    cv::Size size_;
    int channels_ = 0;
    std::vector<Hot> hot_;
};

// Each element that stands above the median of its 8 neighbours (in its own
// channel) by more than `margin` levels: 255 there, 0 elsewhere, one 8-bit
// channel per channel of the image. `margin` is in 8-bit levels (x257 for a
// 16-bit image).
cv::Mat standingOut(const cv::Mat& image, int margin);

// Learns the map from the images themselves: an element is hot when it
// stands out in at least 90% of the images looked at. They are spread over
// minutes of sky, one every 6 s whatever the camera's rate (100 images span
// 10 minutes):
// a star drifts across pixels in that time, a meteor crosses in a few images,
// a hot pixel stays where it is. (A star within a degree or so of the pole
// hardly moves in minutes: with a lens of a few arcminutes a pixel it may
// be taken for hot.)
class HotPixelLearner {
public:
    static constexpr int64_t kSpacingMillis = 6000;
    HotPixelLearner(int images, int margin) : images_(images), margin_(margin) {}
    // Looks at the image when its time has come; true once enough were
    // looked at. An image of another size or channels than the first starts
    // again, and so does a clock that went back.
    bool add(const cv::Mat& image, int64_t millis);
    HotPixelMap map() const;
    int seen() const { return seen_; }
    // From the first image looked at to the last.
    int64_t spannedMillis() const { return seen_ > 0 ? lastMillis_ - firstMillis_ : 0; }

private:
    int images_, margin_, seen_ = 0;
    int64_t firstMillis_ = 0, lastMillis_ = 0;
    cv::Mat counts_;  // 16-bit, one element per element of the images
    int channels_ = 0;
};
