#pragma once

#include "core/SayOnce.h"
#include "core/WaitingUploads.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A file to send, and where to: its name under the remote path.
struct QueuedFile {
    std::string path;        // here, as the tool wrote it ("img/5.jpg")
    std::string remoteName;  // "5.jpg", "clips/20261207-221320100.avi", ...
    int64_t queuedMillis = 0;
    int64_t bytes = 0;
};

// The files waiting to be sent, kept on disk: a file is queued by an entry
// written atomically (and flushed) into the queue's folder once it is in
// place, and its entry removed only once it has arrived, so that a restart,
// a kill or a power cut goes on where it stopped. After a failure nothing is
// tried before a pause that starts at firstRetry and doubles, to lastRetry,
// while failures follow each other; the file that failed waits twice as
// long itself, so that another goes first and one bad file cannot hold up
// the others for good. From any thread.
//
// The queue's files are the tool's own: an entry names its file relative to
// the first of the folders given (the snapshot folder), so that a run
// started from another directory finds it, and is only taken when the file
// lies inside one of those folders and its remote name stays below the
// remote path. Entry files are named by a hash of the path: any path fits.
class UploadQueue : public WaitingUploads {
public:
    UploadQueue(std::string folder, std::vector<std::string> roots, FILE* err, int64_t firstRetryMs = 30000,
                int64_t lastRetryMs = 1800000);
    // Makes the folder and reads the entries a run before left; one line
    // for an entry it cannot read or will not send, which is dropped.
    bool open();
    // Queues a file (again: its entry is replaced); one line when the entry
    // cannot be written.
    void add(const QueuedFile& file);
    // The oldest file due now, taken out of the running until it is done.
    std::optional<QueuedFile> take(int64_t nowMillis);
    void arrived(const QueuedFile& file);
    void failed(const QueuedFile& file, const std::string& why, int64_t nowMillis);
    // The file is no longer here: dropped, with one line.
    void gone(const QueuedFile& file);
    bool waiting(const std::string& path) const override;

    struct Summary {
        size_t files = 0;
        int64_t bytes = 0;
        std::optional<int64_t> oldestMillis;
        std::string lastError;               // empty once a file arrives after it
        std::optional<int64_t> pausedUntil;  // after failures
    };
    Summary summary(int64_t nowMillis) const;

private:
    struct Entry {
        QueuedFile file;
        std::string entryFile;  // its name in the queue's folder
        int64_t notBefore = 0;
        bool running = false;
        bool addedAgain = false;  // while running: the entry stays for the newer file
    };
    std::string entryPath(const std::string& path) const;
    // Why an entry read from the folder is not taken; empty when it is.
    std::string refusal(const QueuedFile& file) const;
    void drop(const std::string& path);

    const std::string folder_;
    const std::vector<std::string> roots_;
    const int64_t firstRetryMs_, lastRetryMs_;
    mutable std::mutex mutex_;
    SayOnce said_;                          // under mutex_
    std::map<std::string, Entry> entries_;  // by normal path
    int failuresInARow_ = 0;
    int64_t pausedUntil_ = 0;
    std::string lastError_;
};
