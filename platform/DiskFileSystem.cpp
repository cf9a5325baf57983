#include "platform/DiskFileSystem.h"

#include "platform/Clocks.h"
#include "platform/Files.h"

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class Disk : public FileSystem {
public:
    std::vector<FileEntry> list(const std::string& folder) const override {
        std::vector<FileEntry> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            struct stat info {};
            if (lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            files.push_back({entry.path().filename().string(), static_cast<int64_t>(info.st_size),
                             static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec});
        }
        return files;
    }

    std::vector<std::string> folders(const std::string& folder) const override {
        std::vector<std::string> found;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (entry.is_directory(error) && !entry.is_symlink(error))
                found.push_back(entry.path().filename().string());
        return found;
    }

    std::optional<std::string> read(const std::string& path, size_t maxBytes) const override {
        return readFileUpTo(path, maxBytes);
    }

    Result<> writeAtomically(const std::string& path, const std::string& bytes) override {
        return writeFileAtomically(path, {bytes.begin(), bytes.end()}, false);
    }

    Result<> writeDurably(const std::string& path, const std::vector<unsigned char>& bytes) override {
        return writeFileAtomically(path, bytes, true);
    }

    bool remove(const std::string& path) override {
        std::error_code error;
        return fs::remove(path, error);
    }
};

class SystemClock : public WallClock {
public:
    int64_t millis() const override { return ::millis(); }
};

}  // namespace

FileSystem& diskFileSystem() {
    static Disk disk;
    return disk;
}

WallClock& systemWallClock() {
    static SystemClock clock;
    return clock;
}
