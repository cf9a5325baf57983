#include "LoopParts.h"
#include "platform/ServiceManager.h"
#include "service/ServiceNotifier.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// A socket where the service manager would listen, NOTIFY_SOCKET pointing at it.
struct ServiceManagerSocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string path = std::filesystem::absolute("notify").string();
    ServiceManagerSocket() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~ServiceManagerSocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd);
    }
    // The next message, or "" when none comes within `seconds`.
    std::string next(double seconds = 30) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1) return "";
        char buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }
    // Reads messages until one starts so; the messages read.
    std::vector<std::string> until(const std::string& start) {
        std::vector<std::string> read;
        for (std::string m = next(); !m.empty(); m = next()) {
            read.push_back(m);
            if (m.rfind(start, 0) == 0) break;
        }
        return read;
    }
};

}  // namespace

// Under a service manager that asked to be told: ready at the first image,
// alive at each tick with the status line, alive while a lost camera is
// waited for, stopping at the end; and silent while the loop is held up
// inside a camera read, so that the manager's watchdog restarts the service.
TEST(ServiceManager, FedFromTheLoopAloneReadyAliveAndStopping) {
    TempWorkingDir dir;
    EXPECT_EQ(makeServiceNotifier(), nullptr) << "nobody asked";
    ServiceManagerSocket manager;
    const std::unique_ptr<ServiceNotifier> notifier = makeServiceNotifier();
    ASSERT_NE(notifier, nullptr);

    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, released = false;
    LoopParts<> parts;
    SyntheticCamera& camera = parts.camera;
    camera.step = 1000;  // every pass ticks
    camera.budget = 12;
    camera.reopenedBudget = 3;
    camera.scene = [&](int i) {
        if (i == 8) {  // a driver call that hangs
            std::unique_lock<std::mutex> lock(mutex);
            held = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        }
        if (i == 15) parts.stop = 1;
        return movingDotImage(i);
    };
    TrailLoop loop(parts.inputs(), {false, false, 1500}, {notifier.get()});
    std::thread running([&] { loop.run(parts.source); });

    const std::vector<std::string> first = manager.until("WATCHDOG=1\nSTATUS=freq=1");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.front(), "READY=1\nSTATUS=running");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return held; }));
    }
    while (!manager.next(0.2).empty()) {  // what came before the hold
    }
    EXPECT_EQ(manager.next(2), "") << "a loop held up feeds nothing";
    {
        const std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    const std::vector<std::string> lost =
        manager.until("WATCHDOG=1\nSTATUS=camera delivered no image, trying to reopen it every 1.5 s");
    ASSERT_FALSE(lost.empty());
    EXPECT_EQ(manager.until("WATCHDOG=1\nSTATUS=camera is back").front(), "WATCHDOG=1")
        << "fed while the camera is waited for";
    const std::vector<std::string> end = manager.until("STOPPING=1");
    running.join();
    ASSERT_FALSE(end.empty());
    EXPECT_EQ(end.back(), "STOPPING=1\nSTATUS=closing");

    // A manager that does not read loses messages; the sender is never held up.
    for (int i = 0; i < 2000; ++i)
        tellServiceManager("WATCHDOG=1");
    int received = 0;
    while (!manager.next(0.2).empty())
        ++received;
    EXPECT_GT(received, 0);
    EXPECT_LT(received, 2000);
}
