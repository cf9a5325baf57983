#pragma once

#include "core/Result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A regular file in a folder.
struct FileEntry {
    std::string name;
    int64_t bytes = 0;
    int64_t modifiedNanos = 0;  // since the Unix epoch
};

// The file operations that storing features need, so that what decides
// which files to write, keep or delete can be run on a file system in memory.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // The regular files in a folder, not followed through links; none when
    // the folder cannot be read.
    virtual std::vector<FileEntry> list(const std::string& folder) const = 0;
    // The folders in a folder, by name, not followed through links.
    virtual std::vector<std::string> folders(const std::string& folder) const = 0;
    // A file's bytes; none when it cannot be read or holds more than maxBytes.
    virtual std::optional<std::string> read(const std::string& path, size_t maxBytes) const = 0;
    // Replaces the file as a whole: readers see the old bytes or the new.
    virtual Result<> writeAtomically(const std::string& path, const std::string& bytes) = 0;
    // The same, and on disk before it returns: the file and its name flushed.
    virtual Result<> writeDurably(const std::string& path, const std::vector<unsigned char>& bytes) = 0;
    // False when the file was not there or could not be removed.
    virtual bool remove(const std::string& path) = 0;
};

// A file's bytes, read whole from disk; none when it cannot be read or holds
// more than maxBytes.
std::optional<std::string> readFileUpTo(const std::string& path, size_t maxBytes);

// The time of day, in milliseconds since the Unix epoch.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual int64_t millis() const = 0;
};
