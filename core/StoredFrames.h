#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A Motion-JPEG video's images as the JSON beside it keeps them: "times",
// the unix milliseconds of each image, and "frames", where each image's
// JPEG bytes are in the video ([offset, size]). A clip's JSON has them, and
// so has the index "timelapse-YYYY-MM-DD.json" beside the night's timelapse.
// A reader takes an image out as it is stored, without the container.
struct StoredFrames {
    struct Place {
        int64_t offset = 0;
        int64_t size = 0;
    };
    std::vector<int64_t> times;
    std::vector<Place> frames;  // may be fewer than the times: those not yet on disk
    int fps = 0;                // the rate the video plays at, when the JSON says it
};

// Into a JSON object being written: its "fps" (when known), "times" and
// "frames" members.
void putStoredFrames(nlohmann::ordered_json& json, const StoredFrames& stored);
// The most images one listing may hold: a day and a half at an image a
// second. A longer one is no listing the tool wrote, and serving it would
// tie up the reader.
constexpr size_t kMostStoredFrames = 150000;

// The images a video's JSON lists with both a time and a place; none when it
// lists neither in this form, lists more than kMostStoredFrames, or holds a
// time outside the years 1970 to 9999 or a place whose end overflows.
std::optional<StoredFrames> storedFramesOf(const nlohmann::json& json);
