#pragma once

#include "core/SayOnce.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "quality/QualityOptions.h"
#include "quality/SkyMeasure.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One measurement as the statuses tell it.
struct SkyQualityReading {
    int64_t millis = 0;
    SkyMeasurement sky;
    std::optional<double> clear;          // the stars against the night's reference, 0..1; none without one
    std::optional<double> skyBrightness;  // mag/arcsec²
};

// Measures the sky every --quality-every seconds of image time, on a thread
// of its own: the loop hands over the image it has, and a measurement still
// running lets newer images pass over older ones. Clear sky is the stars
// against the night's reference (the 90th percentile of the night's
// measurements so far, or --clear-stars): unknown while that is under 10
// stars (a night overcast from dusk, a lens cap); the sky's brightness needs the
// camera's exposure time, --sqm-zero and --plate-scale.
class SkyQuality : public TrailListener, public SkyReadings {
public:
    // What the camera tells of its exposure (seconds) and gain, when it does.
    using CameraTells = std::function<std::pair<std::optional<double>, std::optional<double>>()>;
    // A replay measures on the loop's thread instead, every image due: it
    // waits for no camera, and its results are the same on every run.
    SkyQuality(const QualitySettings& settings, CameraTells camera, FILE* err, bool replay = false);
    ~SkyQuality() override;

    void framed(const Frame& frame) override;
    void ended() override { worker_.finish(); }

    // "\"quality\":{...}" as of the latest measurement ("\"quality\":null"
    // before the first); from any thread.
    std::string statusJson() const { return "\"quality\":" + latestJson(); }
    // The latest measurement as a JSON object; "null" before the first.
    std::string latestJson() const;
    // A snapshot's sidecar: the median stars and clear of the measurements
    // within its trail, and how many there were.
    std::string sidecarMembers(const SnapshotDue& due) const;
    std::optional<SkyMedians> between(int64_t fromMillis, int64_t toMillis) const override;
    std::string nightJson() const override;
    // Every measurement of this run so far, oldest first.
    std::vector<SkyQualityReading> readings() const;

private:
    void measure(Frame& frame);  // the worker's
    // The stars and the known clears of the measurements taken in [fromMillis, toMillis).
    std::pair<std::vector<double>, std::vector<double>> taken(int64_t fromMillis, int64_t toMillis) const;
    std::optional<double> brightness(double background);

    QualitySettings settings_;
    CameraTells camera_;
    bool replay_;
    SayOnce said_, brightnessSaid_;
    int64_t nextMillis_ = INT64_MIN;  // loop thread
    std::string night_;               // worker: the night the reference is of
    std::vector<double> nightStars_;  // worker: its measurements' stars
    mutable std::mutex mutex_;
    std::vector<SkyQualityReading> readings_;  // under mutex_
    Worker<Frame> worker_;                     // last: its thread uses the members above
};

// The measurer the settings ask for (none without --sky-quality).
std::unique_ptr<SkyQuality> makeSkyQuality(const QualitySettings& settings, SkyQuality::CameraTells camera,
                                           FILE* err, bool replay);
