#pragma once

#include "core/FileSystem.h"
#include "core/FilesInUse.h"
#include "core/TrailEvents.h"
#include "core/WaitingUploads.h"
#include "core/Worker.h"
#include "platform/DiskFileSystem.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct RetentionPolicy {
    std::optional<double> keepDays;   // delete what is older
    std::optional<int64_t> maxBytes;  // delete the oldest while the tool's files hold more
};

struct RetentionSummary {
    int64_t files = 0;    // of the tool's files kept
    int64_t bytes = 0;    // they hold
    int64_t deleted = 0;  // files deleted since the start
};

// Makes room in the snapshot folder (and the clips' folder) by policy: only
// the files the tool writes there (snapshots and what goes beside them,
// clips, night products; nothing else), each snapshot with its companions,
// oldest first by the time in its name or sidecar (else its modification
// time), never the newest snapshot (the one this run wrote last, else the
// newest by modification time), a file the tool is writing (inUse, and the
// hidden files of writes in progress, which count toward --max-disk all
// the same) nor a file modified in the last two minutes (and not in the
// future: a clock that once ran ahead protects nothing). Each deletion is
// one line on err.
// The checks the run asks for (after each snapshot, and once a minute of
// image time for the clips and night products written meanwhile) run on a
// thread of their own: a folder of thousands of snapshots never holds up a
// tick.
class Retention : public TrailListener {
public:
    // files and clock: where the folders are and what time it is.
    Retention(std::string snapshotFolder, std::string clipsFolder, RetentionPolicy policy, FILE* err,
              const FilesInUse* inUse = nullptr, FileSystem& files = diskFileSystem(),
              const WallClock& clock = systemWallClock());
    // Deletes what the policy says now, on the calling thread; nowMillis
    // decides what is too old.
    void enforce(int64_t nowMillis);
    // Files queued to be sent elsewhere are kept until sent, unless
    // --max-disk must have their room.
    void spare(const WaitingUploads* waiting) { waiting_ = waiting; }
    void snapshotDue(const SnapshotDue& due) override;
    void snapshotWritten(const SnapshotDue& due) override;
    void ticked(const Tick& tick) override;
    RetentionSummary summary() const;
    // As status JSON members: "\"retention\":{\"files\":...,\"bytes\":...,\"deleted\":...}"
    std::string summaryJson() const;

    // "20G" (powers of 1024: K, M, G, T) or plain bytes; none when malformed.
    static std::optional<int64_t> parseSize(const std::string& text);

private:
    struct Group {
        int64_t millis = 0;
        bool snapshot = false;
        std::vector<std::string> files;  // paths
        int64_t bytes = 0;
        bool kept = false;           // recent, in use, or the newest snapshot
        bool waiting = false;        // to be uploaded
        int64_t modifiedMillis = 0;  // a snapshot's JPEG's
        int32_t number = -1;         // a snapshot's
        bool leftover = false;       // of a write a crash or a power cut ended
    };
    std::vector<Group> groups();
    bool waitingUpload(const Group& group) const;
    int64_t sidecarStart(const std::string& path, int64_t modifiedNanos, int64_t otherwise);

    const std::string snapshotFolder_;
    const std::string clipsFolder_;
    const RetentionPolicy policy_;
    FILE* err_;
    const FilesInUse* inUse_;
    const WaitingUploads* waiting_ = nullptr;
    FileSystem& files_;
    const WallClock& clock_;
    std::atomic<int32_t> lastWritten_{-1};  // the number of the snapshot this run wrote last
    int64_t checkedAt_ = 0;                 // loop thread
    std::mutex enforcing_;
    // A sidecar's start, read again only when it changes: by path, its
    // modification time and the start.
    std::map<std::string, std::pair<int64_t, std::optional<int64_t>>> starts_;
    std::atomic<int64_t> kept_{0}, bytes_{0}, deleted_{0};
    Worker<int> checks_;  // last: its thread starts once everything above is there
};
