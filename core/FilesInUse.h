#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>

// The files the tool has open for writing and goes on writing (a night's
// keogram and timelapse, a clip in progress): whoever tidies the folders
// leaves them alone, however old they look. From any thread.
class FilesInUse {
public:
    void hold(const std::string& path) {
        const std::lock_guard<std::mutex> lock(mutex_);
        paths_.insert(normal(path));
    }
    void release(const std::string& path) {
        const std::lock_guard<std::mutex> lock(mutex_);
        paths_.erase(normal(path));
    }
    bool held(const std::string& path) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return paths_.count(normal(path)) > 0;
    }

private:
    static std::string normal(const std::string& path) {
        return std::filesystem::path(path).lexically_normal().string();
    }
    mutable std::mutex mutex_;
    std::set<std::string> paths_;
};
