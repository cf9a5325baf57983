#pragma once

#include "core/Result.h"
#include "input/RecordedInput.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Opens a recording to replay: a video file, a folder of images (.jpg, .jpeg,
// .png, .tif, .tiff, .bmp in natural name order) or a printf-style sequence
// pattern such as "frames/%05d.jpg". Images of a folder or pattern are
// imagesPerSecond apart in time; a video keeps its own timestamps. Times
// count from `start` (Unix milliseconds), or else from the modification time
// of the video, or of the folder's first image. Fails when there is nothing
// to replay.
Result<std::unique_ptr<RecordedInput>> openRecordedInput(const std::string& path, double imagesPerSecond,
                                                         int threads, FILE* err,
                                                         std::optional<int64_t> start = std::nullopt);

// The image files of a folder in natural name order ("img2" before "img10").
std::vector<std::string> imageFilesOf(const std::string& folder);

// Name order in which runs of digits compare by their value.
bool naturalLess(const std::string& a, const std::string& b);
