#pragma once

#include "core/TrailEvents.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
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
class Retention : public TrailListener {
public:
    Retention(std::string snapshotFolder, std::string clipsFolder, RetentionPolicy policy, FILE* err);
    // Deletes what the policy says now; nowMillis decides what is too old.
    void enforce(int64_t nowMillis);
    // After each snapshot, and once a minute of image time (clips and night
    // products are written meanwhile).
    void snapshotDue(const SnapshotDue& due) override;
    void ticked(const Tick& tick) override;
    RetentionSummary summary() const;
    // As status JSON members: "\"retention\":{\"files\":...,\"bytes\":...,\"deleted\":...}"
    std::string summaryJson() const;

    // "20G" (powers of 1024: K, M, G, T) or plain bytes; none when malformed.
    static std::optional<int64_t> parseSize(const std::string& text);

private:
    struct Group {
        int64_t millis;
        bool snapshot;
        std::vector<std::filesystem::path> files;
        int64_t bytes = 0;
        bool recent = false;  // a file of it was written in the last two minutes
    };
    std::vector<Group> groups() const;

    std::string snapshotFolder_;
    std::string clipsFolder_;
    RetentionPolicy policy_;
    FILE* err_;
    int64_t checkedAt_ = 0;
    std::atomic<int64_t> files_{0}, bytes_{0}, deleted_{0};
};
