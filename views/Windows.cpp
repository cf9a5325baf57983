#include "views/Windows.h"

#include "core/Stretch.h"

namespace {
constexpr int kGap = 40;  // room for a window's frame and title
}

void Windows::ticked(const Tick& tick) {
    // A 16-bit trail and its images are shown stretched; 8-bit ones as they are.
    const cv::Mat frame = stretchToEightBits(tick.frame.image, tick.stretch);
    display_.show("frame", frame);
    display_.show("imMin", stretchToEightBits(tick.trail, tick.stretch));
    if (!placed_) {
        display_.place("frame", {0, 0});
        display_.place("imMin", {frame.cols + kGap, 0});
        placed_ = true;
    }
    if (panorama_ == nullptr) return;
    const cv::Mat panorama = panorama_->unwrap(frame);
    if (panorama.empty()) return;
    display_.show("panorama", panorama);
    if (!panoramaPlaced_) display_.place("panorama", {0, frame.rows + kGap});
    panoramaPlaced_ = true;
}
