#include "views/Windows.h"

namespace {
constexpr int kGap = 40;  // room for a window's frame and title
}

void Windows::ticked(const Tick& tick) {
    const cv::Mat& frame = tick.frame.image;
    display_.show("frame", frame);
    display_.show("imMin", tick.trail);
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
