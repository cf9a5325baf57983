#include "input/RecordedInput.h"

#include <unistd.h>

RecordedInput::RecordedInput(Decoder decoder, std::optional<int64_t> total, int threads, FILE* err)
    : total_(total),
      err_(err),
      pool_(std::move(decoder), threads, static_cast<size_t>(2 * threads + 2), "trailcam-replay") {
    if (isatty(fileno(err))) progress_ = std::make_unique<ProgressLine>(err);
}

void RecordedInput::read(Frame& frame) {
    frame.image.release();
    frame.jpeg = nullptr;
    for (;;) {
        Item item = pool_.next();
        if (item.end) {
            if (progress_ && !ended_) progress_->finish();
            ended_ = true;
            return;
        }
        if (!item.failure.empty()) {
            std::fprintf(err_, "%s: skipped\n", item.failure.c_str());
            std::fflush(err_);
            continue;
        }
        frame.image = item.image;
        frame.millis = item.mediaMillis;
        frame.jpeg = std::move(item.jpeg);
        ++delivered_;
        if (progress_) progress_->update(delivered_, total_);
        return;
    }
}
