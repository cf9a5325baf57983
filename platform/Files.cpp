#include "platform/Files.h"

#include "core/Stretch.h"

#include "core/FileNames.h"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
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

// Writes bytes to a temporary file beside path and hands it to place, which
// puts it at path; the temporary goes when it fails or declines.
Result<bool> writeThenPlace(const std::string& path, const std::vector<uchar>& bytes, bool durable,
                            const std::function<Result<bool>(const std::string&)>& place) {
    const std::string folder = folderOf(path);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return Failure{error.message()};

    std::string temporary = temporaryPathOf(path) + "-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return Failure{std::strerror(errno)};
    fchmod(fd, 0644);  // as an ordinary new file, not mkstemp's 0600
    int failure = 0;
    if (!writeAll(fd, bytes) || (durable && fsync(fd) != 0)) failure = errno != 0 ? errno : EIO;
    if (close(fd) != 0 && failure == 0) failure = errno;
    Result<bool> placed = failure != 0 ? Result<bool>(Failure{std::strerror(failure)}) : place(temporary);
    if (!placed || !*placed) {
        unlink(temporary.c_str());
        return placed;
    }
    if (durable) {
        const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (folderFd >= 0) {
            fsync(folderFd);
            close(folderFd);
        }
    }
    return true;
}

}  // namespace

Result<> writeFileAtomically(const std::string& path, const std::vector<uchar>& bytes, bool durable) {
    const Result<bool> written = writeThenPlace(path, bytes, durable, [&path](const std::string& temporary) {
        if (std::rename(temporary.c_str(), path.c_str()) != 0)
            return Result<bool>(Failure{std::strerror(errno)});
        return Result<bool>(true);
    });
    if (!written) return Failure{written.reason()};
    return {};
}

namespace {

Result<bool> placeTogether(const std::vector<std::pair<std::string, std::vector<uchar>>>& files, size_t next,
                           std::vector<std::string>& temporaries) {
    if (next == files.size()) {
        for (size_t i = 0; i < files.size(); ++i)
            if (std::rename(temporaries[i].c_str(), files[i].first.c_str()) != 0)
                return Failure{std::strerror(errno)};
        return true;
    }
    return writeThenPlace(files[next].first, files[next].second, true, [&](const std::string& temporary) {
        temporaries.push_back(temporary);
        Result<bool> placed = placeTogether(files, next + 1, temporaries);
        temporaries.pop_back();
        return placed;
    });
}

}  // namespace

Result<> writeFilesTogether(const std::vector<std::pair<std::string, std::vector<uchar>>>& files) {
    std::vector<std::string> temporaries;
    const Result<bool> written = placeTogether(files, 0, temporaries);
    if (!written) return Failure{written.reason()};
    return {};
}

Result<bool> writeFileIfNew(const std::string& path, const std::vector<uchar>& bytes) {
    return writeThenPlace(path, bytes, true, [&path](const std::string& temporary) {
        return renameWithoutReplacing(temporary, path);
    });
}

Result<bool> renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) return Failure{std::strerror(errno)};
    // A file system without RENAME_NOREPLACE: a hard link fails on a taken name too.
    if (link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        return Failure{std::strerror(errno)};
    }
    unlink(from.c_str());
    return true;
}

std::string unusedName(const std::string& base, const std::string& extension) {
    return unusedBase(base, {extension}) + extension;
}

std::string unusedBase(const std::string& base, const std::vector<std::string>& extensions) {
    const auto taken = [&extensions](const std::string& name) {
        struct stat info {};
        for (const std::string& extension : extensions)
            if (lstat((name + extension).c_str(), &info) == 0) return true;
        return false;
    };
    std::string name = base;
    for (int n = 2; taken(name); ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

Result<std::vector<uchar>> encodeImage(const std::string& extension, const cv::Mat& image, Stretch stretch) {
    std::vector<uchar> encoded;
    const bool jpeg = extension == ".jpg" || extension == ".jpeg";
    const cv::Mat shown = jpeg ? stretchToEightBits(image, stretch) : image;
    try {
        if (cv::imencode(extension, shown, encoded)) return encoded;
    } catch (const cv::Exception&) {
        // said below
    }
    return Failure{"cannot encode the image"};
}

Result<> writeImageAtomically(const std::string& path, const cv::Mat& image, Stretch stretch) {
    const auto dot = path.rfind('.');
    Result<std::vector<uchar>> encoded =
        encodeImage(dot == std::string::npos ? "" : path.substr(dot), image, stretch);
    if (!encoded) return Failure{encoded.reason()};
    return writeFileAtomically(path, *encoded, true);
}

void removeLeftoverTemporaries(const std::string& folder, int64_t minAgeSeconds) {
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!isTemporaryName(name) || !entry.is_regular_file(error)) continue;
        const auto modified = entry.last_write_time(error);
        if (!error && now - modified >= std::chrono::seconds(minAgeSeconds)) fs::remove(entry.path(), error);
    }
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

int openOwnFile(const std::string& path, uint64_t& size) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && isOwnFile(info)) {
        size = static_cast<uint64_t>(info.st_size);
        return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
}

bool isOwnFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid();
}

Result<> makeWritableFolder(const std::string& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return Failure{error.message()};
    std::string probe = temporaryPathOf(folder + "/probe") + "-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) return Failure{std::strerror(errno)};
    close(fd);
    unlink(probe.c_str());
    return {};
}

Result<> flushToDisk(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = fd >= 0 && fsync(fd) == 0;
    const int failure = errno;
    if (fd >= 0) close(fd);
    if (!flushed) return Failure{std::strerror(failure)};
    return {};
}
