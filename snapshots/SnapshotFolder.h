#pragma once

#include "core/Devices.h"

#include <optional>
#include <string>
#include <vector>

// Snapshot files on disk. A snapshot is encoded in memory, written to a
// temporary file in its folder, flushed to disk and renamed over its final
// name, so a kill or a full disk never leaves a truncated image in place of
// an older good one.
class SnapshotFiles : public SnapshotWriter {
public:
    std::string write(const std::string& path, const cv::Mat& image) override;
    bool exists(const std::string& path) override;
    int64_t freeBytes(const std::string& folder) override;
};

// Keeps other runs out of a snapshot folder while this one uses it: an flock
// on a lock file in the folder, which the kernel releases when the process
// ends, however it ends. The folder is made if needed; at the end the lock
// file goes, and so does the folder if this run made it and left it empty.
class FolderLock {
public:
    enum class Outcome { held, busy, failed };
    // With failed, `reason` says why.
    Outcome take(const std::string& folder, std::string& reason);
    ~FolderLock();

private:
    std::string path_;
    std::vector<std::string> madeFolders_;  // innermost first
    int fd_ = -1;
};

// Writes bytes to a temporary file beside path and renames it over path, so
// readers see the old file or the new one, never a part. Durable also flushes
// the data and the rename to disk first. Returns the reason of a failure.
std::string writeFileAtomically(const std::string& path, const std::vector<uchar>& bytes, bool durable);

// Bytes free to an unprivileged writer on the file system that holds (or
// will hold) the folder; -1 when unknown.
int64_t freeBytesFor(const std::string& folder);

// Removes temporary files that an interrupted write left in the folder, those
// at least minAgeSeconds old (a live write takes milliseconds).
void removeLeftoverTemporaries(const std::string& folder, int64_t minAgeSeconds = 0);

struct SnapshotEntry {
    int number;
    int64_t modifiedNanos;  // since the Unix epoch
    int64_t bytes;
};

// The snapshots ("N.jpg", N up to lastNumber) in the folder, newest first by
// modification time.
std::vector<SnapshotEntry> listSnapshots(const std::string& folder, int lastNumber);

// The number of the newest snapshot ("N.jpg") in the folder by modification
// time, so that numbering can go on after it; none when there is none.
std::optional<int> newestSnapshotNumber(const std::string& folder, int lastNumber);
