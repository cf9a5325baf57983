#pragma once

#include "core/FilesInUse.h"
#include "core/SayOnce.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "upload/UploadQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct UploadSettings {
    std::string remote;  // an rclone remote and path, "sky:station/roof"; none: no uploads
    std::string config;  // rclone's configuration file; none: the user's own
    bool snapshots = true, clips = false, products = true, live = false;
    double everySeconds = 60;                   // the live files, of image time
    std::optional<std::pair<int, int>> window;  // local minutes of the day [from, to), may cross midnight
    std::string bwlimit;                        // passed to rclone's --bwlimit
    int parallel = 1;
    double firstRetrySeconds = 30;
};

// Whether a local time of day (minutes since midnight) is inside a window
// [from, to) that may cross midnight.
bool insideWindow(const std::pair<int, int>& window, int minuteOfDay);

// Sends the run's files with rclone to a remote (S3, SFTP, WebDAV, ... as
// the user's rclone configuration has it): each snapshot with its sidecar
// and companions once written, each clip, the night's products at dawn and
// at the end of the run, the live trail and status every so often. Files go
// through a durable queue in "<snapshot folder>/.upload", one (or a few) at
// a time, inside the window, each under a hidden name first and renamed once
// whole, so that no final name is ever half written.
class Uploader : public TrailListener {
public:
    Uploader(UploadSettings settings, std::string snapshotFolder, std::string clipsFolder,
             const FilesInUse* inUse, FILE* err);
    ~Uploader() override;
    Uploader(const Uploader&) = delete;
    Uploader& operator=(const Uploader&) = delete;

    // Reads the queue a run before left and starts sending; says how, once.
    bool start();
    void snapshotWritten(const SnapshotDue& due) override;
    void clipWritten(const ClipWritten& clip) override;
    void ticked(const Tick& tick) override;
    void dawn(int64_t millis) override;
    void ended() override;

    // "\"upload\":{\"files\":2,\"bytes\":...,\"oldest\":...,\"lastError\":...,\"retryIn\":...}"
    std::string statusJson() const;
    const WaitingUploads& queue() const { return queue_; }

    // rclone's arguments for sending a file (its name beside the remote
    // file it becomes: hidden until renamed), then renaming it.
    std::vector<std::string> copyArguments(const QueuedFile& file) const;
    std::vector<std::string> renameArguments(const QueuedFile& file) const;
    static std::string partialName(const std::string& name);

private:
    struct Live {
        std::shared_ptr<const TickPictures> pictures;
        std::string status;
    };
    void queueFile(const std::string& path, const std::string& remoteName);
    void queueProducts(const std::string& night);
    void writeLive(Live& live);
    void send();
    std::string target(const std::string& name) const;
    std::vector<std::string> common() const;

    const UploadSettings settings_;
    const std::string snapshotFolder_, clipsFolder_;
    const FilesInUse* inUse_;
    FILE* err_;
    UploadQueue queue_;
    int64_t lastTick_ = -1, lastLive_ = -1;  // loop thread
    std::optional<int64_t> productsAt_;      // loop thread: after dawn, once the products are closed
    std::string productsNight_;
    std::atomic<bool> ending_{false}, stopNow_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> senders_;
    Worker<Live> live_;
};
