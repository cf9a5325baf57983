#include "core/FileSystem.h"

#include <fstream>

std::optional<std::string> readFileUpTo(const std::string& path, size_t maxBytes) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (size < 0 || static_cast<uint64_t>(size) > maxBytes) return std::nullopt;
    std::string text(static_cast<size_t>(size), '\0');
    file.seekg(0);
    if (!file.read(text.data(), size)) return std::nullopt;
    return text;
}
