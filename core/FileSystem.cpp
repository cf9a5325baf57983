#include "core/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::optional<std::string> readFileUpTo(const std::string& path, size_t maxBytes) {
    // Opened without waiting and read only when a regular file: a FIFO or a
    // device put in a file's place never holds the reader up.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat about {};
    std::optional<std::string> text;
    if (fstat(fd, &about) == 0 && S_ISREG(about.st_mode) &&
        static_cast<uint64_t>(about.st_size) <= maxBytes) {
        text.emplace(static_cast<size_t>(about.st_size), '\0');
        size_t got = 0;
        while (got < text->size()) {
            const ssize_t n = read(fd, text->data() + got, text->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        if (got != text->size()) text.reset();
    }
    close(fd);
    return text;
}
