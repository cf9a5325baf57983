#pragma once

#include "core/FileNames.h"
#include "core/FileSystem.h"
#include "core/Result.h"
#include "core/Shelves.h"
#include "core/Stretch.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "platform/DiskFileSystem.h"
#include "snapshots/SnapshotMetadata.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The snapshot folder of a run and its only owner: the lock that keeps other
// runs out, the leftovers of interrupted writes, the numbering to resume, the
// free-space minimum, the names of snapshots and of what goes beside them,
// their atomic writes, and listing and reading them for the web view.
class SnapshotFolder : public SnapshotStore, public SnapshotShelf, public TrailListener {
public:
    // minFreeBytes 0: no minimum. Snapshots and what goes beside them are
    // written through files.
    SnapshotFolder(std::string path, int64_t minFreeBytes, FILE* err, FileSystem& files = diskFileSystem());
    ~SnapshotFolder() override;
    SnapshotFolder(const SnapshotFolder&) = delete;
    SnapshotFolder& operator=(const SnapshotFolder&) = delete;

    // Takes the folder for this run, making it if needed, and clears what
    // interrupted writes left. Fails when another run holds it. The lock (an
    // flock) goes at the end of the run, or with the process however it
    // ends; so does a folder this run made and left empty.
    Result<> open();
    // The newest snapshot by modification time, which numbering follows.
    std::optional<int32_t> newest() const;
    // Writes, beside each snapshot N.jpg, N followed by suffix (such as
    // "-panorama.jpg"), in the format the suffix names: what make returns for
    // the snapshot, unless empty.
    void addCompanion(std::string suffix, std::function<cv::Mat(const SnapshotDue&)> make);
    // Writes each snapshot's sidecar N.json before the snapshot, and its
    // EXIF fields into it (metadata may be null: neither).
    void describeWith(const SnapshotMetadata* metadata) { metadata_ = metadata; }

    // Told, on the snapshot writer's thread, of each snapshot once it and
    // what goes beside it are in place (not of one that could not be written).
    void announceTo(Announcements* announcements) { announcements_ = announcements; }
    // With retention, only retention makes room: a snapshot never replaces
    // one that retention keeps, even when every number is taken.
    void replaceOnlyByRetention() { replace_ = false; }
    // How a 16-bit trail becomes the snapshot's JPEG.
    void stretchWith(Stretch stretch) { stretch_ = stretch; }

    bool hasRoom() override;
    bool taken(int32_t number) override;
    bool mayReplace(int32_t number) override;
    // Hands the snapshot to the writer's thread: encoding, EXIF, what goes
    // beside it, the writes and their flushes happen there, in number order.
    void snapshotDue(const SnapshotDue& due) override;
    // Waits for every snapshot handed over.
    void ended() override;
    // A meteor judged after a snapshot whose trail it is in (seconds after
    // it ended, or as the run ends): that snapshot's sidecar is written
    // again, after the snapshot, so that it counts it.
    void meteorDetected(const Meteor& meteor) override;
    // Whether the snapshot due as the run ended could not be written (known
    // once the run has ended).
    bool finalSnapshotLost() const { return finalSnapshotLost_; }

    using Entry = SnapshotEntry;
    // The snapshots ("N.jpg"), newest first by modification time.
    std::vector<Entry> list() const override;
    std::optional<Entry> find(int32_t number) const override;
    // Opens a snapshot to be served: a regular file of this user with one
    // link, opened without following links or waiting on a FIFO, so that
    // nothing but what the tool wrote leaves the folder. -1 otherwise.
    // A snapshot or what goes beside it, by its exact name: "12.jpg",
    // "12.json", "12-time.jpg", "12-panorama.jpg".
    int openToServe(const std::string& name, uint64_t& size) const override;
    bool has(int32_t number, const std::string& suffix) const override;
    // The start and end times its sidecar gives, when it has one.
    std::optional<std::pair<std::string, std::string>> sidecarTimes(int32_t number) const override;
    std::string pathOf(int32_t number, const std::string& suffix = kSnapshotSuffix) const;
    const std::string& path() const override { return path_; }

private:
    static constexpr size_t kWaiting = 2;  // snapshots that may wait for the writer
    static constexpr size_t kDescribedKept = 4;
    struct Job {
        SnapshotDue due;
        bool sidecarOnly = false;  // its sidecar written again, the snapshot in place
    };
    void write(const SnapshotDue& due);
    void describeAgain(const SnapshotDue& due);

    Result<> writeImage(const std::string& path, const cv::Mat& image);

    std::string path_;
    int64_t minFreeBytes_;
    FILE* err_;
    FileSystem& files_;
    std::vector<std::pair<std::string, std::function<cv::Mat(const SnapshotDue&)>>> companions_;
    const SnapshotMetadata* metadata_ = nullptr;
    std::atomic<bool> finalSnapshotLost_{false};
    bool replace_ = true;
    Stretch stretch_ = Stretch::linear;
    Announcements* announcements_ = nullptr;
    std::string lockPath_;
    int lockFd_ = -1;
    std::vector<std::string> madeFolders_;  // innermost first
    // The latest snapshots handed over with a sidecar, without their pixels,
    // and their trails' sizes; loop thread.
    std::deque<std::pair<SnapshotDue, cv::Size>> described_;
    Worker<Job> writer_;  // last: its thread uses the members above
};
