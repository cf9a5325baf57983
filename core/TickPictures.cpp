#include "core/TickPictures.h"

#include <opencv2/imgcodecs.hpp>

TickPictures::TickPictures(const Frame& frame, const cv::Mat& trail, Stretch stretch) : stretch_(stretch) {
    if (frame.jpeg)
        std::call_once(frame_.once, [this, &frame] { frame_.bytes = frame.jpeg; });
    else
        frame_.image = frame.image.clone();
    trail_.image = trail.clone();
}

TickPictures::Bytes TickPictures::frameJpeg() const { return encode(frame_); }

TickPictures::Bytes TickPictures::trailJpeg() const { return encode(trail_); }

TickPictures::Bytes TickPictures::encode(const Encoded& picture) const {
    std::call_once(picture.once, [this, &picture] {
        auto bytes = std::make_shared<std::vector<uchar>>();
        try {
            if (!picture.image.empty() &&
                cv::imencode(".jpg", stretchToEightBits(picture.image, stretch_), *bytes))
                picture.bytes = bytes;
        } catch (const cv::Exception&) {
            // left empty
        }
        if (!picture.bytes) picture.bytes = std::make_shared<const std::vector<uchar>>();
    });
    return picture.bytes;
}
