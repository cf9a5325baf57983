#pragma once

#include <opencv2/core.hpp>

// Whether an image lets itself into the trail: one that would raise more
// than a share of the trail's pixels by more than a margin, in any channel,
// is a flash and stays out.
struct FlashJudgement {
    bool flash = false;
    double share = 0;  // of the trail's pixels raised
};

// Merges images into a trail (of one size and type; 8-bit ones fast, 16-bit
// ones with the margin in 8-bit levels, x256) unless they are
// flashes, in one pass over both: the merge is written to a buffer of the
// gate's own, which becomes the trail when the image is let in (the trail's
// old buffer becomes the gate's). A flash leaves the trail as it was.
class FlashGate {
public:
    // maxShare is a fraction (0.05 for 5 %).
    FlashJudgement mergeUnlessFlash(cv::Mat& trail, const cv::Mat& image, int margin, double maxShare);
    // The judgement alone: nothing is merged.
    static FlashJudgement judge(const cv::Mat& trail, const cv::Mat& image, int margin, double maxShare);

private:
    cv::Mat merged_;
};

// The share of the trail's pixels that image raises by more than margin in
// any channel.
double raisedShare(const cv::Mat& trail, const cv::Mat& image, int margin);
