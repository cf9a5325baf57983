#include "upload/Uploader.h"

#include "core/FileNames.h"
#include "core/Json.h"
#include "core/Night.h"
#include "platform/Clocks.h"
#include "platform/Files.h"
#include "platform/ProductFiles.h"
#include "platform/Threads.h"
#include "upload/Rclone.h"

#include <filesystem>

namespace {

constexpr int64_t kProductsAfterDawnMs = 60000;  // the night's files are closed by then
constexpr auto kEndGrace = std::chrono::seconds(10);
constexpr const char* kQueueFolder = ".upload";

int64_t bytesOf(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<int64_t>(size);
}

}  // namespace

bool insideWindow(const std::pair<int, int>& window, int minuteOfDay) {
    const auto [from, to] = window;
    return from <= to ? minuteOfDay >= from && minuteOfDay < to : minuteOfDay >= from || minuteOfDay < to;
}

Uploader::Uploader(UploadSettings settings, std::string snapshotFolder, std::string clipsFolder,
                   const FilesInUse* inUse, FILE* err)
    : settings_(std::move(settings)),
      snapshotFolder_(std::move(snapshotFolder)),
      clipsFolder_(std::move(clipsFolder)),
      inUse_(inUse),
      err_(err),
      queue_(snapshotFolder_ + "/" + kQueueFolder, {snapshotFolder_, clipsFolder_}, err,
             static_cast<int64_t>(settings_.firstRetrySeconds * 1000)),
      live_({"trailcam-uplive", WhenFull::keepNewest, 1, lowerThisThreadsPriority},
            [this](Live& live) { writeLive(live); }) {}

Uploader::~Uploader() { ended(); }

std::vector<std::string> Uploader::common() const {
    std::vector<std::string> args{"--retries",    "1",   "--low-level-retries", "2",
                                  "--contimeout", "15s", "--timeout",           "60s"};
    if (!settings_.config.empty()) args.insert(args.end(), {"--config", settings_.config});
    if (!settings_.bwlimit.empty()) args.insert(args.end(), {"--bwlimit", settings_.bwlimit});
    return args;
}

std::string Uploader::target(const std::string& name) const {
    const char last = settings_.remote.empty() ? ':' : settings_.remote.back();
    return settings_.remote + (last == ':' || last == '/' ? "" : "/") + name;
}

// "live/.trail.jpg.partial" for "live/trail.jpg": hidden beside its final name.
std::string Uploader::partialName(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return name.substr(0, base) + "." + name.substr(base) + ".partial";
}

// The options first, then "--": a file or folder named "-x" is never read as one.
std::vector<std::string> Uploader::copyArguments(const QueuedFile& file) const {
    std::vector<std::string> args{"copyto", "--checksum"};
    const std::vector<std::string> more = common();
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--", file.path, target(partialName(file.remoteName))});
    return args;
}

std::vector<std::string> Uploader::renameArguments(const QueuedFile& file) const {
    std::vector<std::string> args{"moveto"};
    const std::vector<std::string> more = common();
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--", target(partialName(file.remoteName)), target(file.remoteName)});
    return args;
}

bool Uploader::start() {
    if (!queue_.open()) return false;
    std::string how = "rclone";
    for (const std::string& word : copyArguments({"FILE", "NAME"}))
        how += " " + word;
    std::fprintf(err_, "upload: to %s with %s\n", settings_.remote.c_str(), how.c_str());
    std::fflush(err_);
    for (int i = 0; i < settings_.parallel; ++i)
        senders_.emplace_back([this] {
            nameThisThread("trailcam-upload");
            lowerThisThreadsPriority();
            send();
        });
    return true;
}

void Uploader::queueFile(const std::string& path, const std::string& remoteName) {
    queue_.add({path, remoteName, millis(), bytesOf(path)});
    changed_.notify_all();
}

// The snapshot's own files: its JPEG, sidecar and companions.
void Uploader::snapshotWritten(const SnapshotDue& due) {
    if (!settings_.snapshots) return;
    // Those in place: a folder of thousands of snapshots is not listed for it.
    for (const std::string& name : snapshotFileNames(due.number))
        if (std::filesystem::exists(snapshotFolder_ + "/" + name))
            queueFile(snapshotFolder_ + "/" + name, name);
}

void Uploader::clipWritten(const ClipWritten& clip) {
    if (!settings_.clips) return;
    const std::string base = std::filesystem::path(clip.name).filename().string();
    for (const char* extension : {".json", ".avi"})
        if (std::filesystem::exists(clipsFolder_ + "/" + base + extension))
            queueFile(clipsFolder_ + "/" + base + extension, "clips/" + base + extension);
}

void Uploader::queueProducts(const std::string& night) {
    for (const ProductFile& product : listProducts(snapshotFolder_)) {
        const std::string path = snapshotFolder_ + "/" + product.name;
        if (product.night == night && (inUse_ == nullptr || !inUse_->held(path)))
            queueFile(path, product.name);
    }
}

void Uploader::dawn(int64_t millis) {
    if (!settings_.products || lastTick_ < 0) return;
    productsAt_ = millis + kProductsAfterDawnMs;
    productsNight_ = nightOf(millis);
}

void Uploader::ticked(const Tick& tick) {
    lastTick_ = tick.frame.millis;
    if (productsAt_ && tick.frame.millis >= *productsAt_) {
        productsAt_.reset();
        queueProducts(productsNight_);
    }
    if (!settings_.live || (lastLive_ >= 0 && tick.frame.millis - lastLive_ < settings_.everySeconds * 1000 &&
                            tick.frame.millis >= lastLive_))
        return;
    lastLive_ = tick.frame.millis;
    live_.hand({tick.pictures(), "{" + statusJsonMembers(tick.status) + ",\"time\":\"" +
                                     utcTime(tick.frame.millis / 1000) + "\"}\n"});
}

void Uploader::writeLive(Live& live) {
    const std::string folder = snapshotFolder_ + "/" + kQueueFolder + "/live";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    // A live file still waiting is not replaced under rclone's feet: this
    // round leaves it as it is.
    const auto trail = live.pictures->trailJpeg();
    const std::string trailPath = folder + "/trail.jpg", statusPath = folder + "/status.json";
    if (!trail->empty() && !queue_.waiting(trailPath) && writeFileAtomically(trailPath, *trail, false))
        queueFile(trailPath, "live/trail.jpg");
    if (!queue_.waiting(statusPath) &&
        writeFileAtomically(statusPath, {live.status.begin(), live.status.end()}, false))
        queueFile(statusPath, "live/status.json");
}

// A sender: the next file due, inside the window, sent under a hidden name
// and renamed.
void Uploader::send() {
    bool busy = false;
    while (!ending_) {
        std::optional<QueuedFile> file;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!busy) changed_.wait_for(lock, std::chrono::seconds(1));
            if (ending_) break;
            const int64_t now = millis();
            if (!settings_.window || insideWindow(*settings_.window, localMinuteOfDay(now)))
                file = queue_.take(now);
        }
        busy = file.has_value();
        if (!file) continue;
        if (!std::filesystem::exists(file->path)) {
            queue_.gone(*file);
            continue;
        }
        Result<> sent = runRclone(copyArguments(*file), stopNow_);
        if (sent) sent = runRclone(renameArguments(*file), stopNow_);
        if (stopNow_) break;  // cut short: the file stays queued
        if (sent)
            queue_.arrived(*file);
        else
            queue_.failed(*file, sent.reason(), millis());
        changed_.notify_all();
    }
}

// The products of the night in progress go too; what is being sent gets a
// few seconds, the rest waits for the next run.
void Uploader::ended() {
    if (ending_) return;
    if (settings_.products && lastTick_ >= 0) queueProducts(nightOf(lastTick_));
    live_.finish();
    const auto until = std::chrono::steady_clock::now() + kEndGrace;
    // Sending goes on while there is time and something to send now.
    while (std::chrono::steady_clock::now() < until && !senders_.empty()) {
        const int64_t now = millis();
        const UploadQueue::Summary s = queue_.summary(now);
        if (s.files == 0 || s.pausedUntil ||
            (settings_.window && !insideWindow(*settings_.window, localMinuteOfDay(now))))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ending_ = true;
    stopNow_ = true;
    changed_.notify_all();
    for (std::thread& sender : senders_)
        sender.join();
    senders_.clear();
    if (const size_t left = queue_.summary(millis()).files; left > 0) {
        std::fprintf(err_, "upload: %zu file%s wait%s in the queue for the next run\n", left,
                     left == 1 ? "" : "s", left == 1 ? "s" : "");
        std::fflush(err_);
    }
}

std::string Uploader::statusJson() const {
    const int64_t now = millis();
    const UploadQueue::Summary s = queue_.summary(now);
    return "\"upload\":{\"files\":" + std::to_string(s.files) + ",\"bytes\":" + std::to_string(s.bytes) +
           ",\"oldest\":" +
           (s.oldestMillis ? "\"" + utcTime(*s.oldestMillis / 1000) + "\"" : std::string("null")) +
           ",\"lastError\":" + (s.lastError.empty() ? std::string("null") : jsonString(s.lastError)) +
           ",\"retryIn\":" +
           (s.pausedUntil ? std::to_string((*s.pausedUntil - now + 999) / 1000) : std::string("null")) + "}";
}
