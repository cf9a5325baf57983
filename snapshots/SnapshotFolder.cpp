#include "snapshots/SnapshotFolder.h"

#include "core/Json.h"
#include "core/Stretch.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockName = ".trailcam.lock";
}  // namespace

SnapshotFolder::SnapshotFolder(std::string path, int64_t minFreeBytes, FILE* err, FileSystem& files)
    : path_(std::move(path)),
      minFreeBytes_(minFreeBytes),
      err_(err),
      files_(files),
      writer_({"trailcam-snap", WhenFull::wait, kWaiting}, [this](Job& job) {
          if (job.sidecarOnly)
              describeAgain(job.due);
          else
              write(job.due);
      }) {}

SnapshotFolder::~SnapshotFolder() {
    writer_.finish();
    if (lockFd_ >= 0) {
        unlink(lockPath_.c_str());
        close(lockFd_);
    }
    for (const std::string& folder : madeFolders_)
        if (rmdir(folder.c_str()) != 0) break;
}

Result<> SnapshotFolder::open() {
    std::error_code error;
    for (fs::path p = path_; !p.empty() && !fs::exists(p, error); p = p.parent_path())
        madeFolders_.push_back(p.string());
    fs::create_directories(path_, error);
    if (error) return Failure{error.message()};
    lockPath_ = path_ + "/" + kLockName;
    // A run that ends unlinks the file it holds; a lock won on a file that
    // was unlinked meanwhile is no lock, so try again on the new one.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return Failure{std::strerror(errno)};
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int failure = errno;
            close(fd);
            return Failure{failure == EWOULDBLOCK ? "another trailcam is using it" : std::strerror(failure)};
        }
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(lockPath_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            lockFd_ = fd;
            removeLeftoverTemporaries(path_);
            return {};
        }
        close(fd);
    }
    return Failure{"its lock file keeps changing"};
}

std::optional<int32_t> SnapshotFolder::newest() const {
    const std::vector<Entry> snapshots = list();
    if (snapshots.empty()) return std::nullopt;
    return snapshots.front().number;
}

void SnapshotFolder::addCompanion(std::string suffix, std::function<cv::Mat(const SnapshotDue&)> make) {
    companions_.emplace_back(std::move(suffix), std::move(make));
}

bool SnapshotFolder::hasRoom() {
    if (minFreeBytes_ <= 0) return true;
    const int64_t free = freeBytesFor(path_);
    if (free < 0 || free >= minFreeBytes_) return true;
    std::fprintf(err_, "snapshot skipped: %lld MB free for %s, less than the %lld MB asked\n",
                 static_cast<long long>(free >> 20), path_.c_str(),
                 static_cast<long long>(minFreeBytes_ >> 20));
    std::fflush(err_);
    return false;
}

bool SnapshotFolder::taken(int32_t number) {
    struct stat info {};
    return lstat(pathOf(number).c_str(), &info) == 0;
}

bool SnapshotFolder::mayReplace(int32_t number) {
    if (replace_) return true;
    std::fprintf(err_, "snapshot skipped: every number is taken and retention keeps %s\n",
                 pathOf(number).c_str());
    std::fflush(err_);
    return false;
}

// The loop goes on at once: the snapshot is written on the writer's thread,
// from the images the loop has let go of. A third snapshot waits for room: a
// snapshot is never left out.
void SnapshotFolder::snapshotDue(const SnapshotDue& due) {
    if (metadata_ != nullptr) {
        SnapshotDue described = due;
        described.trail = cv::Mat(), described.timeMap = cv::Mat();  // not held: a sidecar tells times
        described_.emplace_back(std::move(described), due.trail.size());
        if (described_.size() > kDescribedKept) described_.pop_front();
    }
    writer_.hand({due, false});
}

void SnapshotFolder::meteorDetected(const Meteor& meteor) {
    for (const auto& [described, size] : described_) {
        if (meteor.startMillis < described.span.startMillis || meteor.startMillis > described.span.endMillis)
            continue;
        SnapshotDue due = described;
        due.trail.create(size, CV_8UC1);  // the sidecar reads its size: memory never touched
        // After the run's end the writer is done: written here, nothing else writing.
        if (!writer_.hand({due, true}, false)) describeAgain(due);
    }
}

void SnapshotFolder::describeAgain(const SnapshotDue& due) {
    struct stat info {};
    if (lstat(pathOf(due.number).c_str(), &info) != 0 ||
        lstat(pathOf(due.number, kSidecarSuffix).c_str(), &info) != 0)
        return;  // not written, or gone since
    const std::string sidecar = metadata_->sidecar(due);
    const std::string sidecarPath = pathOf(due.number, kSidecarSuffix);
    if (const Result<> described = files_.writeDurably(sidecarPath, {sidecar.begin(), sidecar.end()});
        !described) {
        std::fprintf(err_, "cannot write %s: %s\n", sidecarPath.c_str(), described.reason().c_str());
        std::fflush(err_);
    }
}

// Every snapshot queued is in place (or said to be lost) before the run ends.
void SnapshotFolder::ended() { writer_.finish(); }

void SnapshotFolder::write(const SnapshotDue& due) {
    const std::string path = pathOf(due.number);
    // A 16-bit trail's picture is stretched; the trail itself may go beside it.
    Result<std::vector<uchar>> jpeg = encodeImage(".jpg", stretchToEightBits(due.trail, stretch_));
    if (jpeg && metadata_ != nullptr) {
        if (const Result<> tagged = metadata_->tag(*jpeg, due); !tagged)
            std::fprintf(err_, "cannot tag snapshot %s: %s\n", path.c_str(), tagged.reason().c_str());
        // The sidecar first: a snapshot in place always has its sidecar.
        const std::string sidecar = metadata_->sidecar(due);
        const std::string sidecarPath = pathOf(due.number, kSidecarSuffix);
        const Result<> described = files_.writeDurably(sidecarPath, {sidecar.begin(), sidecar.end()});
        if (!described)
            std::fprintf(err_, "cannot write %s: %s\n", sidecarPath.c_str(), described.reason().c_str());
    }
    const Result<> written = jpeg ? files_.writeDurably(path, *jpeg) : Result<>(Failure{jpeg.reason()});
    if (!written) {
        std::fprintf(err_, "cannot write snapshot %s: %s\n", path.c_str(), written.reason().c_str());
        std::fflush(err_);
        // No sidecar describes a snapshot that is not there.
        if (jpeg && metadata_ != nullptr) files_.remove(pathOf(due.number, kSidecarSuffix));
    }
    const bool last = due.reason == SnapshotReason::exit || due.reason == SnapshotReason::endOfInput;
    finalSnapshotLost_ = last && !written;
    for (const auto& [suffix, make] : companions_) {
        const cv::Mat companion = make(due);
        const std::string name = pathOf(due.number, suffix);
        const Result<> done = companion.empty() ? Result<>() : writeImage(name, companion);
        if (!done) std::fprintf(err_, "cannot write %s: %s\n", name.c_str(), done.reason().c_str());
    }
    std::fflush(err_);
    if (!written || announcements_ == nullptr) return;
    SnapshotDue inPlace = due;
    inPlace.jpeg = std::make_shared<const std::vector<uchar>>(std::move(*jpeg));
    announcements_->snapshotWritten(inPlace);
}

// Encoded by the extension of its name.
Result<> SnapshotFolder::writeImage(const std::string& path, const cv::Mat& image) {
    const size_t dot = path.rfind('.');
    const Result<std::vector<uchar>> encoded =
        encodeImage(dot == std::string::npos ? "" : path.substr(dot), image);
    return encoded ? files_.writeDurably(path, *encoded) : Result<>(Failure{encoded.reason()});
}

std::optional<SnapshotFolder::Entry> SnapshotFolder::find(int32_t number) const {
    struct stat info {};
    if (lstat(pathOf(number).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return Entry{number, static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                 static_cast<int64_t>(info.st_size), isOwnFile(info)};
}

std::vector<SnapshotFolder::Entry> SnapshotFolder::list() const {
    std::vector<Entry> snapshots;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(path_, error)) {
        const auto name = snapshotFileOf(file.path().filename().string());
        if (!name || name->suffix != kSnapshotSuffix) continue;
        if (const auto snapshot = find(name->number)) snapshots.push_back(*snapshot);
    }
    std::sort(snapshots.begin(), snapshots.end(), [](const Entry& a, const Entry& b) {
        return a.modifiedNanos != b.modifiedNanos ? a.modifiedNanos > b.modifiedNanos : a.number > b.number;
    });
    return snapshots;
}

int SnapshotFolder::openToServe(const std::string& name, uint64_t& size) const {
    // The 16-bit time map and trail are for tools, not browsers.
    const auto file = snapshotFileOf(name);
    if (!file || file->suffix == kTimeMapSuffix || file->suffix == kSixteenBitSuffix) return -1;
    return openOwnFile(path_ + "/" + name, size);
}

bool SnapshotFolder::has(int32_t number, const std::string& suffix) const {
    struct stat info {};
    return lstat(pathOf(number, suffix).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::pair<std::string, std::string>> SnapshotFolder::sidecarTimes(int32_t number) const {
    uint64_t size = 0;
    const int fd = openOwnFile(pathOf(number, kSidecarSuffix), size);
    if (fd < 0) return std::nullopt;
    // A sidecar is a few hundred bytes: a larger file is none of the tool's.
    std::string text(std::min<uint64_t>(size, 65536), '\0');
    const ssize_t n = read(fd, text.data(), text.size());
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const std::optional<nlohmann::json> sidecar = parseJson(text);
    return sidecar ? ::sidecarTimes(*sidecar) : std::nullopt;
}

std::string SnapshotFolder::pathOf(int32_t number, const std::string& suffix) const {
    return path_ + "/" + snapshotName(number, suffix);
}
