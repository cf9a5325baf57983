#include "platform/ServiceManager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kRoomTries = 100, kRoomWaitMs = 10;  // a second at most

// The socket to the manager, made at the first message. Messages go without
// waiting: a manager that does not read loses a message, never holds the
// loop up (sd_notify waits on a full socket).
struct Notifier {
    std::mutex mutex;
    std::string path;  // the address the socket is for
    int fd = -1;
    sockaddr_un address{};
    socklen_t length = 0;

    bool ready(const char* asked) {
        if (fd >= 0 && path == asked) return true;
        if (fd >= 0) close(fd);
        fd = -1;
        path = asked;
        const size_t size = path.size();
        if (size == 0 || size >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return false;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), size);
        if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        return fd >= 0;
    }
};

}  // namespace

bool serviceManagerListens() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void tellServiceManager(const std::string& state) {
    static Notifier notifier;
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr) return;
    const std::lock_guard<std::mutex> lock(notifier.mutex);
    if (!notifier.ready(path)) return;
    // Being alive (WATCHDOG=1, the status) is said again within a second:
    // one is dropped when the manager's queue is full. Being ready and
    // stopping are said once: they wait a moment for room, never longer.
    const bool once = state.rfind("READY=1", 0) == 0 || state.rfind("STOPPING=1", 0) == 0;
    for (int tries = once ? kRoomTries : 1; tries > 0; --tries) {
        if (sendto(notifier.fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&notifier.address), notifier.length) >= 0 ||
            errno != EAGAIN)
            return;
        if (tries > 1) std::this_thread::sleep_for(std::chrono::milliseconds(kRoomWaitMs));
    }
}
