#include "snapshots/SnapshotFolder.h"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kTemporaryPrefix = ".partial-";
constexpr const char* kLockName = ".trailcam.lock";

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, const std::vector<uchar>& bytes) {
    errno = 0;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string SnapshotFiles::write(const std::string& path, const cv::Mat& image) {
    std::vector<uchar> encoded;
    const auto dot = path.rfind('.');
    try {
        if (dot == std::string::npos || !cv::imencode(path.substr(dot), image, encoded))
            return "cannot encode the image";
    } catch (const cv::Exception&) {
        return "cannot encode the image";
    }
    return writeFileAtomically(path, encoded, true);
}

std::string writeFileAtomically(const std::string& path, const std::vector<uchar>& bytes, bool durable) {
    const std::string folder = folderOf(path);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return error.message();

    std::string temporary = folder + "/" + kTemporaryPrefix + fileNameOf(path) + "-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return std::strerror(errno);
    fchmod(fd, 0644);  // as an ordinary new file, not mkstemp's 0600
    int failure = 0;
    if (!writeAll(fd, bytes) || (durable && fsync(fd) != 0)) failure = errno != 0 ? errno : EIO;
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
    if (failure != 0) {
        unlink(temporary.c_str());
        return std::strerror(failure);
    }
    if (durable) {
        const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (folderFd >= 0) {
            fsync(folderFd);
            close(folderFd);
        }
    }
    return "";
}

bool SnapshotFiles::exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

int64_t SnapshotFiles::freeBytes(const std::string& folder) { return freeBytesFor(folder); }

FolderLock::Outcome FolderLock::take(const std::string& folder, std::string& reason) {
    std::error_code error;
    for (fs::path p = folder; !p.empty() && !fs::exists(p, error); p = p.parent_path())
        madeFolders_.push_back(p.string());
    fs::create_directories(folder, error);
    if (error) return reason = error.message(), Outcome::failed;
    path_ = folder + "/" + kLockName;
    // A run that ends unlinks the file it holds; a lock won on a file that
    // was unlinked meanwhile is no lock, so try again on the new one.
    for (int attempt = 0; attempt < 10; ++attempt) {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0) return reason = std::strerror(errno), Outcome::failed;
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int failure = errno;
            close(fd_);
            fd_ = -1;
            if (failure == EWOULDBLOCK) return Outcome::busy;
            return reason = std::strerror(failure), Outcome::failed;
        }
        struct stat held {
        }, named{};
        if (fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return Outcome::held;
        close(fd_);
        fd_ = -1;
    }
    return reason = "the lock file keeps changing", Outcome::failed;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        unlink(path_.c_str());
        close(fd_);
    }
    for (const std::string& folder : madeFolders_)
        if (rmdir(folder.c_str()) != 0) break;
}

int64_t freeBytesFor(const std::string& folder) {
    // The folder may not exist yet: ask the nearest folder that does.
    fs::path probe = folder.empty() ? fs::path(".") : fs::path(folder);
    std::error_code error;
    while (!fs::is_directory(probe, error) && probe.has_parent_path() && probe != probe.parent_path())
        probe = probe.parent_path();
    if (!fs::is_directory(probe, error)) probe = ".";
    struct statvfs info {};
    if (statvfs(probe.c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

void removeLeftoverTemporaries(const std::string& folder, int64_t minAgeSeconds) {
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kTemporaryPrefix, 0) != 0 || !entry.is_regular_file(error)) continue;
        const auto modified = entry.last_write_time(error);
        if (!error && now - modified >= std::chrono::seconds(minAgeSeconds)) fs::remove(entry.path(), error);
    }
}

std::vector<SnapshotEntry> listSnapshots(const std::string& folder, int lastNumber) {
    std::vector<SnapshotEntry> snapshots;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const auto digits = name.size() - 4;
        if (name.size() < 5 || name.size() > 9 || name.compare(digits, 4, ".jpg") != 0) continue;
        if (name.find_first_not_of("0123456789") != digits || (digits > 1 && name[0] == '0')) continue;
        const int number = std::atoi(name.c_str());
        struct stat info {};
        if (number > lastNumber || lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        snapshots.push_back({number,
                             static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                             static_cast<int64_t>(info.st_size)});
    }
    std::sort(snapshots.begin(), snapshots.end(), [](const SnapshotEntry& a, const SnapshotEntry& b) {
        return a.modifiedNanos != b.modifiedNanos ? a.modifiedNanos > b.modifiedNanos : a.number > b.number;
    });
    return snapshots;
}

std::optional<int> newestSnapshotNumber(const std::string& folder, int lastNumber) {
    const std::vector<SnapshotEntry> snapshots = listSnapshots(folder, lastNumber);
    if (snapshots.empty()) return std::nullopt;
    return snapshots.front().number;
}
