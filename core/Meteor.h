#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A meteor as detected: where it began and ended in the camera's pixels,
// when (the times of its first and last images), and how bright it was
// against the trail it crossed.
struct Meteor {
    int64_t startMillis = 0, endMillis = 0;
    cv::Point2f from, to;
    int32_t frames = 0;  // the images it is in
    double length = 0;   // pixels
    double speed = 0;    // pixels a second
    int32_t peak = 0;    // levels above the trail before it
    cv::Rect box;        // around the streak, with a margin
    // The trail cropped to box as a JPEG; null when it is not made.
    std::shared_ptr<const std::vector<uchar>> thumbnail = nullptr;
    std::string clip;  // the clip around it, once there is one
};

// Whether a clip of these times is the meteor's: it has none yet, and the
// clip holds its start.
inline bool clipOf(const Meteor& meteor, int64_t firstMillis, int64_t lastMillis) {
    return meteor.clip.empty() && meteor.startMillis >= firstMillis && meteor.startMillis <= lastMillis;
}

// One meteor as the night's file, MQTT and the web view give it:
// {"start":...,"end":...,"from":[x,y],"to":[x,y],"frames":N,"length":...,
// "speed":...,"peak":N,"clip":"NAME"|null}
std::string meteorJson(const Meteor& meteor);
// A meteor read back from such an object; none when it is not one, or holds
// a number that is not finite or out of its range.
std::optional<Meteor> meteorOf(const std::string& json);
// "start,end,x1,y1,x2,y2,frames,speed,peak,clip" and a line a meteor.
extern const char* const kMeteorCsvHeader;
std::string meteorCsv(const Meteor& meteor);
// A text as one CSV field: quoted when it holds a comma, a quote or a line's
// end, and kept from being a spreadsheet's formula ("=...", "+...", ...).
std::string csvField(const std::string& text);
