#pragma once

#include "core/SayOnce.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "segments/SegmentIndex.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The night kept as segments: for each span of `seconds` of image time, on a
// grid of whole multiples of it since 1970, the maximum of the images let in
// goes, losslessly, to "segments-NIGHT/START.png" in the snapshot folder and
// into that folder's index.json, with its images, flashes kept out and
// background; a segment whose background is above the night's median by more
// than the haze margin is marked hazy. After each segment the night's star
// trail, "startrail-NIGHT.jpg", is the composition of its segments (the
// exclusions left out), as `trailcam compose` makes it. Everything is written
// atomically on a thread of its own; a run that starts again in the same
// night adds to its folder and index (a segment already there takes the new
// images in).
class SegmentWriter : public TrailListener, public SegmentShelf {
public:
    // With the sky's quality measured, each segment also carries its stars
    // and clear, and one less clear than minClear is left out as cloudy.
    SegmentWriter(std::string snapshotFolder, int seconds, int hazeMargin, FILE* err,
                  const SkyReadings* quality = nullptr, std::optional<double> minClear = std::nullopt);
    ~SegmentWriter() override;
    void keptOut(const KeptOut& kept) override;
    void framed(const Frame& frame) override;
    // The trail's stretch (--stretch), for a 16-bit night's star trail.
    void ticked(const Tick& tick) override { stretch_ = tick.stretch; }
    void ended() override;
    // The segment in progress is written with the night's star trail.
    void dawn(int64_t) override { finish(); }
    std::string indexJson() const override;
    bool setExcluded(const std::string& file, bool excluded) override;

    // The start of the segment a time falls in.
    static int64_t segmentStart(int64_t millis, int seconds);

private:
    struct Open {
        int64_t start = 0;
        cv::Mat maximum;
        int32_t images = 0, rejected = 0;
    };
    struct Job {
        Open segment;
        bool edits = false;  // the edits waiting, instead of a segment
    };
    struct Night {
        std::string name;  // "2026-12-07"
        std::vector<SegmentEntry> entries;
        cv::Mat starTrail;
    };
    void finish();
    void work(Job& job);
    void write(Open& segment);
    void applyEdits();
    void writeIndex(const std::string& folder);
    void publishIndex(const std::string& index);
    void writeStarTrail();
    // False when the segment is left out (its span holds images of another size).
    Result<bool> writeSegment(Open& segment, const std::string& folder);
    void takeUpNight(const std::string& night);

    const std::string folder_;
    const int seconds_;
    const int hazeMargin_;
    const SkyReadings* quality_;
    const std::optional<double> minClear_;
    SayOnce said_;
    std::optional<Open> open_;  // loop thread
    int64_t keptMillis_ = -1;   // the image kept out last, which framed then skips
    Night night_;               // writer thread
    mutable std::mutex publishing_;
    std::string indexJson_ = "[]\n";  // under publishing_
    std::vector<std::string> files_;  // tonight's segments; under publishing_
    // A person's edits not applied yet, by file: only the latest of each
    // counts, and a burst of them is applied (and composed) at once.
    std::map<std::string, bool> edits_;  // under publishing_
    bool editsHanded_ = false;           // under publishing_
    std::atomic<Stretch> stretch_{Stretch::linear};
    Worker<Job> writer_;  // last: its thread uses the members above
};
