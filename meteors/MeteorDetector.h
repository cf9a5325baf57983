#pragma once

#include "core/Meteor.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// What makes a streak a meteor.
struct MeteorRules {
    int margin = 20;        // levels a pixel must rise above the trail it had
    double minLength = 20;  // pixels
    double minSpeed = 40;   // pixels a second
    double maxSeconds = 3;  // longer is a satellite or a plane
};

// How long after it ended a meteor is told at the latest (seconds of image
// time): the ticks it takes to end, and the wait for a continuation.
constexpr double kMeteorToldWithinSeconds = 6.5;

// A pixel that rose by more than the margin since the last tick: where,
// when (the time map's), and by how much (8-bit levels).
struct Risen {
    int x = 0, y = 0;
    int64_t millis = 0;
    int rise = 0;
};

// The pixels of trail that rose above previous by more than margin (8-bit
// levels; 16-bit trails x256), in raster order, with the times the time map
// gives them (seconds from startMillis); those it gives no time since
// sinceMillis did not rise so in one image (a slow brightening) and are left
// out. Afterwards previous holds a copy of trail. False, with what was found
// cut short, when more than `limit` rose: a flash or a scene that changed,
// not a streak.
bool collectRisen(const cv::Mat& trail, cv::Mat& previous, const cv::Mat& times, int64_t startMillis,
                  int64_t sinceMillis, int margin, size_t limit, std::vector<Risen>& risen);

// Finds meteors in the pixels that rise tick after tick: each tick's risen
// pixels grouped into streaks, a streak that goes on past the tick joined
// with its continuation, and once it ends, kept when it is a straight,
// narrow line whose times grow steadily along it, long, fast and short
// enough. Planes' blinks and twinkling stars stay small; satellites and
// planes' steady lights are slow or go on too long; clouds are wide;
// flashes rise everywhere at once.
class MeteorDetector {
public:
    explicit MeteorDetector(MeteorRules rules) : rules_(rules) {}
    // A tick's risen pixels in raster order; lastMillis: the time of the
    // last image merged before it; period: milliseconds between images.
    // The meteors that ended, oldest first.
    std::vector<Meteor> tick(const std::vector<Risen>& risen, int64_t lastMillis, double periodMillis);
    // A tick whose pixels are not streaks (a flash): what was open ends.
    std::vector<Meteor> skip(double periodMillis, bool last = false);
    // The end of the images: whatever is open or held ends.
    std::vector<Meteor> finish(double periodMillis) { return skip(periodMillis, true); }

    struct Track {
        std::vector<Risen> points;
        int64_t first = 0, last = 0;
        cv::Rect bounds;
        bool tooLong = false;  // went on longer than a meteor does
        // Once too long: where it was and how it moved (pixels a
        // millisecond) before only its end was kept.
        std::optional<std::pair<cv::Point2d, int64_t>> anchor;
    };
    // A streak judged: a meteor or none.
    std::optional<Meteor> judge(const Track& track, double periodMillis) const;

private:
    // A streak that ended, held a while in case it goes on along its line
    // past something it could not rise above (a bright star's trail, a
    // cloud): its pieces are one meteor, or one satellite.
    struct Ended {
        Track track;
        std::optional<Meteor> meteor;  // as judged alone
        int64_t endMillis = 0;         // its end (a meteor's own, whatever twinkled beside it later)
        cv::Point2d at;                // where it was then
        cv::Point2d velocity;          // pixels a millisecond
    };
    std::vector<Track> joined(const std::vector<Risen>& risen, double period);
    std::optional<Ended> ending(Track track, double period) const;
    bool goesOn(const Ended& ended, const Track& track, double period) const;
    std::vector<Meteor> release(int64_t beforeMillis);

    MeteorRules rules_;
    std::vector<Track> open_;
    std::vector<Ended> ended_;
};
