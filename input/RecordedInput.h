#pragma once

#include "core/Camera.h"
#include "core/OrderedPool.h"
#include "input/ProgressLine.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// A recording replayed as a camera: its images in order, as fast as they
// decode, each with its time in the recording. Decoding runs on worker
// threads ahead of the reader, at most 2 * threads + 2 images ahead, so
// memory stays flat however long the recording is.
class RecordedInput : public Camera {
public:
    // One decoded image: empty with a reason when it could not be decoded.
    struct Item {
        cv::Mat image;
        int64_t mediaMillis = 0;
        std::string failure;
        bool end = false;
        std::shared_ptr<const std::vector<uchar>> jpeg = nullptr;  // the image's bytes, when a JPEG
    };
    // Decodes item `index`; called from several worker threads at once.
    using Decoder = std::function<Item(int64_t index)>;

    // total: the number of items when known. Undecodable items are skipped
    // with a line on `err` naming them.
    RecordedInput(Decoder decoder, std::optional<int64_t> total, int threads, FILE* err);
    RecordedInput(const RecordedInput&) = delete;
    RecordedInput& operator=(const RecordedInput&) = delete;

    bool isOpened() const override { return true; }
    // A recording keeps its own size and rate.
    void configure(const CameraMode&) override {}
    CameraMode reported() const override { return {}; }
    // Each image carries its time in the recording: a replay runs on it.
    void read(Frame& frame) override;
    int64_t imagesRead() const { return delivered_; }
    std::optional<int64_t> total() const { return total_; }

private:
    std::optional<int64_t> total_;
    FILE* err_;
    OrderedPool<Item> pool_;
    int64_t delivered_ = 0;
    bool ended_ = false;
    std::unique_ptr<ProgressLine> progress_;  // only when err is a terminal
};
