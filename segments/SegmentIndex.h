#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A segment of the night as its folder's index.json lists it.
struct SegmentEntry {
    std::string file;  // "20261207T221300Z.png"
    int64_t startMillis = 0, endMillis = 0;
    int32_t images = 0;    // let into it
    int32_t rejected = 0;  // kept out of it as flashes
    int background = 0;    // the median of its luminance, 0-255
    std::string excluded;  // "", "hazy", "cloudy" or "by hand"
    // With the sky's quality measured: the medians of its measurements' stars
    // and clear (none when none fell in it).
    bool measured = false;
    std::optional<double> stars, clear;
};

// The index's JSON: the entries in time order.
std::string segmentIndexJson(const std::vector<SegmentEntry>& entries);
// A night's index from its folder; fails when there is none or it cannot be read.
Result<std::vector<SegmentEntry>> readSegmentIndex(const std::string& folder);

// The median of an image's luminance, 0-255.
int medianLuminance(const cv::Mat& image);

// Whether a segment whose background is this is hazy beside the night's
// earlier ones: above their median by more than margin.
bool hazy(int background, const std::vector<SegmentEntry>& earlier, int margin);

// Which segments a composition takes: those that start in [from, to), not
// excluded (unless all), not overlapping an excluded range [from, to).
struct ComposeChoice {
    std::optional<int64_t> from, to;
    std::vector<std::pair<int64_t, int64_t>> excludedRanges;
    bool all = false;
    std::optional<double> minClear = std::nullopt;  // segments measured less clear are left out as "cloudy"
};

// A composition: the maximum of the segments it took, how many, and how many
// it left out for each reason ("hazy", "by hand", "in an excluded range",
// "outside the times", "missing", "of another size").
struct Composed {
    cv::Mat image;
    int used = 0;
    std::vector<std::pair<std::string, int>> leftOut;
};

// The composition of the segments in folder that the choice takes, decoded
// on every core. The first segment taken sets the size: others are left out.
Composed composeSegments(const std::string& folder, const std::vector<SegmentEntry>& entries,
                         const ComposeChoice& choice);

// "composed 42 segments into night.jpg; left out: 3 hazy, 1 by hand"
std::string composedLine(const Composed& composed, const std::string& out);
