#include "input/RecordedInput.h"

#include <unistd.h>

RecordedInput::RecordedInput(Decoder decoder, std::optional<int64_t> total, int threads, FILE* err)
    : decoder_(std::move(decoder)),
      total_(total),
      err_(err),
      capacity_(static_cast<size_t>(2 * threads + 2)) {
    if (isatty(fileno(err))) progress_ = std::make_unique<ProgressLine>(err);
    for (int i = 0; i < threads; ++i)
        workers_.emplace_back([this] { work(); });
}

RecordedInput::~RecordedInput() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void RecordedInput::work() {
    for (;;) {
        int64_t index = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Decode at most `capacity_` images ahead of the reader.
            changed_.wait(lock, [this] {
                return stopping_ ||
                       (end_ < 0 && nextToDecode_ < nextToDeliver_ + static_cast<int64_t>(capacity_));
            });
            if (stopping_) return;
            index = nextToDecode_++;
        }
        Item item = decoder_(index);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (item.end && (end_ < 0 || index < end_)) end_ = index;
            ready_[index] = std::move(item);
        }
        changed_.notify_all();
    }
}

void RecordedInput::read(Frame& frame) {
    frame.image.release();
    while (!ended_) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return ready_.count(nextToDeliver_) > 0; });
            item = std::move(ready_[nextToDeliver_]);
            ready_.erase(nextToDeliver_++);
        }
        changed_.notify_all();
        if (item.end) {
            ended_ = true;
            if (progress_) progress_->finish();
            return;
        }
        if (!item.failure.empty()) {
            std::fprintf(err_, "%s: skipped\n", item.failure.c_str());
            std::fflush(err_);
            continue;
        }
        frame.image = item.image;
        frame.millis = item.mediaMillis;
        ++delivered_;
        if (progress_) progress_->update(delivered_, total_);
        return;
    }
}
