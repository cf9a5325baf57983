#pragma once

#include "core/LatestOnly.h"
#include "core/TrailEvents.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
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
// time), never the newest snapshot nor a file written in the last two
// minutes (one still being written). Each deletion is one line on err.
// The checks the run asks for (after each snapshot, and once a minute of
// image time for the clips and night products written meanwhile) run on a
// thread of their own: a folder of thousands of snapshots never holds up a
// tick.
class Retention : public TrailListener {
public:
    Retention(std::string snapshotFolder, std::string clipsFolder, RetentionPolicy policy, FILE* err);
    // Deletes what the policy says now, on the calling thread; nowMillis
    // decides what is too old.
    void enforce(int64_t nowMillis);
    void snapshotDue(const SnapshotDue& due) override;
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
        std::vector<std::filesystem::path> files;
        int64_t bytes = 0;
        bool recent = false;  // a file of it was written in the last two minutes
    };
    std::vector<Group> groups();
    int64_t sidecarStart(const std::string& path, int64_t modifiedNanos, int64_t otherwise);

    const std::string snapshotFolder_;
    const std::string clipsFolder_;
    const RetentionPolicy policy_;
    FILE* err_;
    int64_t checkedAt_ = 0;  // loop thread
    std::mutex enforcing_;
    // A sidecar's start, read again only when it changes: by path, its
    // modification time and the start.
    std::map<std::string, std::pair<int64_t, std::optional<int64_t>>> starts_;
    std::atomic<int64_t> files_{0}, bytes_{0}, deleted_{0};
    LatestOnly<int> checks_;  // last: its thread starts once everything above is there
};
