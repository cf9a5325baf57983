#pragma once

#include "core/Frame.h"
#include "core/Stretch.h"

#include <opencv2/core.hpp>

#include <memory>
#include <mutex>
#include <vector>

// The camera image and the trail of an info tick as JPEGs, shared by whoever
// shows or stores them (the web view, the live files): each is encoded at
// most once, by the first that asks, on that one's thread; the camera image
// not at all when the source sent it as a JPEG.
class TickPictures {
public:
    using Bytes = std::shared_ptr<const std::vector<uchar>>;
    // Copies what the loop goes on changing; 16-bit images are stretched so.
    TickPictures(const Frame& frame, const cv::Mat& trail, Stretch stretch = Stretch::linear);
    TickPictures(const TickPictures&) = delete;
    TickPictures& operator=(const TickPictures&) = delete;

    // Empty bytes when an image cannot be encoded.
    Bytes frameJpeg() const;
    Bytes trailJpeg() const;

private:
    struct Encoded {
        cv::Mat image;
        mutable std::once_flag once;
        mutable Bytes bytes;
    };
    Bytes encode(const Encoded& picture) const;
    Stretch stretch_;
    Encoded frame_, trail_;
};
