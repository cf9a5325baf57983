#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What one feature shows of what another keeps, read-only: the web view
// reads the snapshots, the events and the keogram through these, never
// through the classes that keep them.

// A snapshot in the folder.
struct SnapshotEntry {
    int32_t number;
    int64_t modifiedNanos;  // since the Unix epoch
    int64_t bytes;
    bool servable;  // openToServe opens it (one link, this user's)
};

class SnapshotShelf {
public:
    virtual ~SnapshotShelf() = default;
    // The snapshots ("N.jpg"), newest first by modification time.
    virtual std::vector<SnapshotEntry> list() const = 0;
    virtual std::optional<SnapshotEntry> find(int32_t number) const = 0;
    // The start and end times its sidecar gives, when it has one.
    virtual std::optional<std::pair<std::string, std::string>> sidecarTimes(int32_t number) const = 0;
    virtual bool has(int32_t number, const std::string& suffix) const = 0;
    // Opens a snapshot or what goes beside it, by its exact name, to be
    // served: a regular file of this user with one link, not followed
    // through a link. -1 otherwise; size set when opened.
    virtual int openToServe(const std::string& name, uint64_t& size) const = 0;
    // The folder, which also holds the night products.
    virtual const std::string& path() const = 0;
};

// An event as the web view lists it.
struct EventSeen {
    int64_t millis;
    int32_t diff;
    cv::Rect box;           // of the pixels that grew
    std::string thumbnail;  // a small JPEG of the tick's image
    std::string clip;       // the clip's name without extension, once it has one
};

class EventShelf {
public:
    virtual ~EventShelf() = default;
    // The events so far, newest first; from any thread.
    virtual std::vector<EventSeen> events() const = 0;
    // Opens a clip's file by its exact name (video or JSON) to be served,
    // by the snapshot folder's rules; -1 otherwise.
    virtual int openToServe(const std::string& name, uint64_t& size) const = 0;
};

// The latest of an image that is written again and again (the night's
// keogram): its file name and bytes, from any thread; empty before the first.
class LatestFile {
public:
    virtual ~LatestFile() = default;
    virtual std::pair<std::string, std::string> latest() const = 0;
};

// The night's segments: their index as JSON, and a person's say on which
// stay out of the star trail.
class SegmentShelf {
public:
    virtual ~SegmentShelf() = default;
    // Tonight's index.json ("[]" before the first segment); from any thread.
    virtual std::string indexJson() const = 0;
    // Leaves a segment out "by hand", or lets it in again; the index and the
    // star trail follow soon after. False for a file the night does not have.
    virtual bool setExcluded(const std::string& file, bool excluded) = 0;
};

// The panorama of the ring a 360-degree lens makes, as the run unwraps it.
class Panorama {
public:
    virtual ~Panorama() = default;
    // The panorama of an image, or an empty image when its size cannot hold the ring.
    virtual cv::Mat unwrap(const cv::Mat& image) = 0;
    // The square around the ring in an image of this size; empty when such
    // an image cannot hold the ring.
    virtual cv::Rect ringSquare(cv::Size size) const = 0;
};

// The sky's quality as measured so far (--sky-quality), for whoever keeps
// what a stretch of the night was like.
struct SkyMedians {
    double stars = 0;
    std::optional<double> clear;  // none while the night has no reference to measure it against
};
class SkyReadings {
public:
    virtual ~SkyReadings() = default;
    // The medians of the stars and of clear over the measurements taken in
    // [fromMillis, toMillis); none when none was.
    virtual std::optional<SkyMedians> between(int64_t fromMillis, int64_t toMillis) const = 0;
    // The latest night's measurements, oldest first, as JSON:
    // [[unix seconds, stars, clear or null, background], ...].
    virtual std::string nightJson() const = 0;
};
