#pragma once

#include "core/Camera.h"
#include "input/ProgressLine.h"

#include <opencv2/core.hpp>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A recording replayed as a camera: its images in order, as fast as they
// decode, each with its time in the recording. Decoding runs on worker
// threads ahead of the reader, through a bounded queue, so memory stays flat
// however long the recording is.
class RecordedInput : public Camera {
public:
    // One decoded image: empty with a reason when it could not be decoded.
    struct Item {
        cv::Mat image;
        int64_t mediaMillis = 0;
        std::string failure;
        bool end = false;
    };
    // Decodes item `index`; called from several worker threads at once.
    using Decoder = std::function<Item(int64_t index)>;

    // total: the number of items when known. Undecodable items are skipped
    // with a line on `err` naming them.
    RecordedInput(Decoder decoder, std::optional<int64_t> total, int threads, FILE* err);
    ~RecordedInput() override;
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
    void work();

    Decoder decoder_;
    std::optional<int64_t> total_;
    FILE* err_;
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int64_t, Item> ready_;
    int64_t nextToDecode_ = 0;
    int64_t nextToDeliver_ = 0;
    int64_t end_ = -1;  // index of the end marker, once known
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    int64_t delivered_ = 0;
    bool ended_ = false;
    std::unique_ptr<ProgressLine> progress_;  // only when err is a terminal
};
