#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

// Whether an image lets itself into the trail: one that would raise more
// than a share of the trail's pixels by more than a margin, in any channel,
// is a flash and stays out.
struct FlashJudgement {
    bool flash = false;
    double share = 0;  // of the pixels raised: exact for a flash, else at most the limit
};

// Writes the merge of image into trail (of one size and type) to merged and
// judges it in the same pass; merged holds the merge only when the image is
// let in. maxShare is a fraction (0.05 for 5 %).
FlashJudgement mergeUnlessFlash(const cv::Mat& trail, const cv::Mat& image, cv::Mat& merged, int margin,
                                double maxShare);

// The share of the trail's pixels that image raises by more than margin in
// any channel, counted pixel by pixel.
double raisedShare(const cv::Mat& trail, const cv::Mat& image, int margin);
