#include "upload/UploadQueue.h"

#include "core/FileNames.h"
#include "core/Json.h"
#include "platform/Files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

namespace {

constexpr const char* kEntrySuffix = ".queued";
constexpr size_t kLongestEntry = 64 << 10;

std::string normal(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string();
}

// A file name for any path: every character other than a letter, a digit,
// '-' and '.' as %XX.
std::string escaped(const std::string& path) {
    std::string name;
    for (const unsigned char c : path)
        name += std::isalnum(c) != 0 || c == '-' || c == '.' ? std::string(1, static_cast<char>(c))
                                                             : cv::format("%%%02X", c);
    return name;
}

}  // namespace

UploadQueue::UploadQueue(std::string folder, FILE* err, int64_t firstRetryMs, int64_t lastRetryMs)
    : folder_(std::move(folder)), firstRetryMs_(firstRetryMs), lastRetryMs_(lastRetryMs), said_(err) {}

std::string UploadQueue::entryPath(const std::string& path) const {
    return folder_ + "/" + escaped(normal(path)) + kEntrySuffix;
}

bool UploadQueue::open() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const Result<> made = makeWritableFolder(folder_); !made) {
        said_.say("upload: cannot keep a queue in " + folder_ + ": " + made.reason());
        return false;
    }
    removeLeftoverTemporaries(folder_);
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder_, error)) {
        const std::string name = item.path().filename().string();
        if (item.path().extension() != kEntrySuffix) continue;
        const auto json = readJsonFile(item.path().string(), kLongestEntry);
        if (!json || !json->is_object() || !(*json)["path"].is_string() || !(*json)["remote"].is_string()) {
            said_.say("upload: the queue entry " + item.path().string() + " cannot be read: dropped");
            std::filesystem::remove(item.path(), error);
            continue;
        }
        QueuedFile file{(*json)["path"], (*json)["remote"], json->value("queued", int64_t{0}),
                        json->value("bytes", int64_t{0})};
        entries_[normal(file.path)] = Entry{file};
    }
    return true;
}

void UploadQueue::add(const QueuedFile& file) {
    const nlohmann::json entry = {{"path", file.path},
                                  {"remote", file.remoteName},
                                  {"queued", file.queuedMillis},
                                  {"bytes", file.bytes}};
    const std::string text = entry.dump() + "\n";
    const Result<> written = writeFileAtomically(entryPath(file.path), {text.begin(), text.end()}, true);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!written) {
        said_.say("upload: cannot queue " + file.path + ": " + written.reason());
        return;
    }
    Entry& queued = entries_[normal(file.path)];
    if (queued.running) {
        queued.addedAgain = true;
        return;
    }
    queued.file = file;
}

std::optional<QueuedFile> UploadQueue::take(int64_t nowMillis) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (nowMillis < pausedUntil_) return std::nullopt;
    Entry* oldest = nullptr;
    for (auto& [path, entry] : entries_)
        if (!entry.running && entry.notBefore <= nowMillis &&
            (oldest == nullptr || entry.file.queuedMillis < oldest->file.queuedMillis))
            oldest = &entry;
    if (oldest == nullptr) return std::nullopt;
    oldest->running = true;
    return oldest->file;
}

void UploadQueue::arrived(const QueuedFile& file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failuresInARow_ = 0;
    lastError_.clear();
    const auto found = entries_.find(normal(file.path));
    if (found == entries_.end()) return;
    if (found->second.addedAgain) {
        found->second = Entry{found->second.file};  // the newer file goes next
        return;
    }
    drop(file.path);
}

void UploadQueue::failed(const QueuedFile& file, const std::string& why, int64_t nowMillis) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const int doublings = std::min(failuresInARow_++, 16);
    const int64_t pause = std::min(lastRetryMs_, firstRetryMs_ << doublings);
    pausedUntil_ = nowMillis + pause;
    lastError_ = why;
    const auto found = entries_.find(normal(file.path));
    if (found == entries_.end()) return;
    found->second.running = false;
    found->second.addedAgain = false;
    found->second.notBefore = nowMillis + std::min(lastRetryMs_, 2 * pause);
}

void UploadQueue::gone(const QueuedFile& file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    said_.say("upload: " + file.path + " is gone before it was uploaded: dropped from the queue");
    drop(file.path);
}

// Under mutex_.
void UploadQueue::drop(const std::string& path) {
    std::error_code error;
    std::filesystem::remove(entryPath(path), error);
    entries_.erase(normal(path));
}

bool UploadQueue::waiting(const std::string& path) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return entries_.count(normal(path)) > 0;
}

UploadQueue::Summary UploadQueue::summary(int64_t nowMillis) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    Summary s;
    s.files = entries_.size();
    for (const auto& [path, entry] : entries_) {
        s.bytes += entry.file.bytes;
        if (!s.oldestMillis || entry.file.queuedMillis < *s.oldestMillis)
            s.oldestMillis = entry.file.queuedMillis;
    }
    s.lastError = lastError_;
    if (pausedUntil_ > nowMillis) s.pausedUntil = pausedUntil_;
    return s;
}
