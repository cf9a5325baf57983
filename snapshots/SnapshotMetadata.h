#pragma once

#include "core/Result.h"
#include "core/Sidecar.h"
#include "core/TrailEvents.h"

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// What a snapshot is, for programs and for people: a sidecar N.json with its
// number, the times of its first and last images, how many it holds, when
// and why it was made; and the same in the JPEG itself (EXIF
// DateTimeOriginal at the start, in UTC, and an ImageDescription), so that
// photo galleries sort trails by when they happened.
class SnapshotMetadata {
public:
    SnapshotMetadata(std::string source, std::string version)
        : source_(std::move(source)), version_(std::move(version)) {}
    std::string sidecar(const SnapshotDue& due) const;
    // Members the sidecar carries besides its own (calibration's, the sky's
    // quality over the trail), as they stand when it is written; each added
    // one after the others.
    void addMembers(std::function<std::string(const SnapshotDue&)> members) {
        members_.push_back(std::move(members));
    }
    // Writes the EXIF fields into an encoded JPEG.
    Result<> tag(std::vector<uchar>& jpeg, const SnapshotDue& due) const;

private:
    std::string describe(const SnapshotDue& due) const;
    std::string source_;
    std::string version_;
    std::vector<std::function<std::string(const SnapshotDue&)>> members_;
};
