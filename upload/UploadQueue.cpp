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

// An entry's file name: a hash of the path, so that a path of any length
// and any characters gives a short name.
std::string hashedName(const std::string& path) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : path)
        hash = (hash ^ c) * 1099511628211ull;
    return cv::format("%016llx", static_cast<unsigned long long>(hash)) + kEntrySuffix;
}

// A whole number that fits, or absent (0); false for anything else.
bool wholeOrAbsent(const nlohmann::json& entry, const char* key, int64_t& value) {
    const auto found = entry.find(key);
    if (found == entry.end()) return true;
    if (found->is_number_unsigned()) {
        if (found->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return false;
    } else if (!found->is_number_integer()) {
        return false;
    }
    value = found->get<int64_t>();
    return true;
}

// The folder resolved: symbolic links and "..", as far as it exists.
std::filesystem::path resolved(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return {};
    const std::filesystem::path real = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : real;
}

bool inside(const std::filesystem::path& path, const std::filesystem::path& folder) {
    if (path.empty() || folder.empty()) return false;
    const std::filesystem::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

}  // namespace

UploadQueue::UploadQueue(std::string folder, std::vector<std::string> roots, FILE* err, int64_t firstRetryMs,
                         int64_t lastRetryMs)
    : folder_(std::move(folder)),
      roots_(std::move(roots)),
      firstRetryMs_(firstRetryMs),
      lastRetryMs_(lastRetryMs),
      said_(err) {}

// Under mutex_.
std::string UploadQueue::entryPath(const std::string& path) const {
    const auto found = entries_.find(normal(path));
    return folder_ + "/" +
           (found != entries_.end() && !found->second.entryFile.empty() ? found->second.entryFile
                                                                        : hashedName(normal(path)));
}

std::string UploadQueue::refusal(const QueuedFile& file) const {
    const std::filesystem::path path = resolved(file.path);
    if (std::none_of(roots_.begin(), roots_.end(),
                     [&path](const std::string& root) { return inside(path, resolved(root)); }))
        return "names a file outside the folders it sends from";
    const std::filesystem::path remote(file.remoteName);
    if (file.remoteName.empty() || remote.is_absolute() ||
        std::any_of(remote.begin(), remote.end(),
                    [](const auto& part) { return part == ".." || part == "."; }))
        return "names a place outside the remote path";
    return "";
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
        if (item.path().extension() != kEntrySuffix) continue;
        const auto json = readJsonFile(item.path().string(), kLongestEntry);
        // Looked up with find: a const JSON's [] on a missing name is undefined.
        const auto text = [&json](const char* key) -> std::optional<std::string> {
            const auto found = json->find(key);
            return found != json->end() && found->is_string() ? std::optional(found->get<std::string>())
                                                              : std::nullopt;
        };
        QueuedFile file;
        // Entries of earlier versions name the file as the tool wrote it ("path").
        const bool isObject = json && json->is_object();
        const std::optional<std::string> named = isObject ? text("file") : std::nullopt,
                                         earlier = isObject ? text("path") : std::nullopt,
                                         remote = isObject ? text("remote") : std::nullopt;
        const bool readable = remote && (named || earlier) &&
                              wholeOrAbsent(*json, "queued", file.queuedMillis) &&
                              wholeOrAbsent(*json, "bytes", file.bytes);
        std::string why = readable ? "" : "cannot be read";
        if (readable) {
            file.path = !named                                        ? *earlier
                        : std::filesystem::path(*named).is_absolute() ? *named
                                                                      : normal(roots_.front() + "/" + *named);
            file.remoteName = *remote;
            why = refusal(file);
        }
        if (!why.empty()) {
            said_.say("upload: the queue entry " + item.path().string() + " " + why + ": dropped");
            std::filesystem::remove(item.path(), error);
            continue;
        }
        entries_[normal(file.path)] = Entry{file, item.path().filename().string()};
    }
    return true;
}

void UploadQueue::add(const QueuedFile& file) {
    // Inside the snapshot folder relative to it, elsewhere (a clips folder
    // of its own) by its full name.
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(file.path, error).lexically_normal(),
                                root = std::filesystem::absolute(roots_.front(), error).lexically_normal();
    const std::string named = inside(whole, root) ? whole.lexically_relative(root).string() : whole.string();
    const nlohmann::json entry = {
        {"file", named}, {"remote", file.remoteName}, {"queued", file.queuedMillis}, {"bytes", file.bytes}};
    const std::string text = entry.dump() + "\n";
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string path = entryPath(file.path);
    lock.unlock();  // the flush takes its time: others may look meanwhile
    const Result<> written = writeFileAtomically(path, {text.begin(), text.end()}, true);
    lock.lock();
    if (!written) {
        said_.say("upload: cannot queue " + file.path + ": " + written.reason());
        return;
    }
    Entry& queued = entries_[normal(file.path)];
    if (queued.entryFile.empty()) queued.entryFile = std::filesystem::path(path).filename().string();
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
        found->second = Entry{found->second.file, found->second.entryFile};  // the newer file goes next
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
