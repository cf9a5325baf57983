#include "camera/PooledDecoding.h"

#include "core/RecycledImages.h"

#include <opencv2/imgcodecs.hpp>

PooledDecoding::PooledDecoding(Camera& camera, int threads, FILE* err)
    : camera_(camera), threads_(threads), said_(err) {}

PooledDecoding::~PooledDecoding() { stop(); }

void PooledDecoding::configure(const CameraMode& mode) {
    stop();
    camera_.configure(mode);
    start();
}

void PooledDecoding::start() {
    if (!camera_.deliverCompressed()) return;
    nextToRead_ = 0;
    stopping_ = false;
    pool_ = std::make_unique<OrderedPool<Decoded>>([this](int64_t index) { return readAndDecode(index); },
                                                   threads_, static_cast<size_t>(threads_ + 2),
                                                   "trailcam-decode");
}

void PooledDecoding::stop() {
    {
        const std::lock_guard<std::mutex> lock(reading_);
        stopping_ = true;
    }
    turn_.notify_all();
    pool_.reset();
}

// Reads image `index` when its turn comes, so that the camera is read by one
// thread at a time and in order; decodes it beside the others.
PooledDecoding::Decoded PooledDecoding::readAndDecode(int64_t index) {
    Frame compressed;
    Decoded decoded;
    {
        std::unique_lock<std::mutex> lock(reading_);
        turn_.wait(lock, [this, index] { return stopping_ || nextToRead_ == index; });
        if (stopping_) return decoded.end = true, decoded;
        camera_.read(compressed);
        // The camera's own buffer goes back to it at the next read.
        const cv::Mat bytes = compressed.image.isContinuous() ? compressed.image : compressed.image.clone();
        if (!bytes.empty())
            decoded.jpeg = std::make_shared<const std::vector<uchar>>(bytes.data, bytes.data + bytes.total());
        ++nextToRead_;
    }
    turn_.notify_all();
    if (!decoded.jpeg) return decoded.end = true, decoded;
    decoded.millis = compressed.millis;
    // Into memory an earlier image let go of: a 4K image is 24 MB of fresh
    // memory (faulted in and zeroed) otherwise, at every image.
    decoded.image = recycledImage();
    try {
        cv::imdecode(*decoded.jpeg, cv::IMREAD_COLOR, &decoded.image);
    } catch (const cv::Exception&) {
        decoded.image.release();
    }
    decoded.failed = decoded.image.empty();
    return decoded;
}

void PooledDecoding::read(Frame& frame) {
    if (!pool_) return camera_.read(frame);
    for (;;) {
        Decoded decoded = pool_->next();
        if (decoded.end) {
            frame.image.release();
            return;
        }
        if (decoded.failed) {
            said_.say("the camera sent images that do not decode: skipped");
            continue;
        }
        frame.image = decoded.image;
        frame.millis = decoded.millis;
        frame.jpeg = std::move(decoded.jpeg);
        return;
    }
}

void PooledDecoding::release() {
    stop();
    camera_.release();
}

bool PooledDecoding::reopen() {
    stop();
    if (!camera_.reopen()) return false;
    start();
    return true;
}
