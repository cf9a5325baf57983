#include "core/Worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The names of this process's threads, as ps -L shows them.
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.push_back(name);
    }
    return names;
}

// Until the condition holds, for a generous while at most.
template <typename Condition>
bool eventually(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

}  // namespace

// Each policy, with the worker held up by a gate on its first item: keeping
// the newest skips what waited, leaving out refuses the new item, waiting
// holds the caller until there is room; an unbounded item is neither left
// out nor skipped and keeps its place. The thread carries its name, and an
// orderly finish works off what waits.
TEST(Worker, EachPolicyHandlesAFullQueueAsItSays) {
    for (const WhenFull policy : {WhenFull::keepNewest, WhenFull::leaveOut, WhenFull::wait}) {
        std::promise<void> open;
        std::shared_future<void> gate = open.get_future().share();
        std::mutex mutex;
        std::vector<int> done;
        const auto doneSoFar = [&] {
            const std::lock_guard<std::mutex> lock(mutex);
            return done;
        };
        std::atomic<bool> started{false}, ended{false};
        Worker<int> worker({"trailcam-test", policy, 2, nullptr, [&ended] { ended = true; }}, [&](int& item) {
            started = true;
            gate.wait();
            const std::lock_guard<std::mutex> lock(mutex);
            done.push_back(item);
        });
        ASSERT_TRUE(worker.hand(1));
        ASSERT_TRUE(eventually([&] { return started.load(); }));  // 1 is being worked on
        EXPECT_TRUE(eventually([] {
            const auto names = threadNames();
            return std::find(names.begin(), names.end(), "trailcam-test") != names.end();
        }));
        EXPECT_TRUE(worker.hand(2) && worker.hand(100, false) && worker.hand(3));
        EXPECT_FALSE(worker.hasRoom());
        std::vector<int> expected;
        if (policy == WhenFull::wait) {
            auto fourth = std::async(std::launch::async, [&] { return worker.hand(4); });
            EXPECT_EQ(fourth.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
            open.set_value();
            EXPECT_TRUE(fourth.get());
            expected = {1, 2, 100, 3, 4};
        } else if (policy == WhenFull::leaveOut) {
            EXPECT_FALSE(worker.hand(4));
            open.set_value();
            expected = {1, 2, 100, 3};
        } else {
            EXPECT_TRUE(worker.hand(4));  // 2 goes
            open.set_value();
            expected = {1, 100, 3, 4};
            EXPECT_TRUE(eventually([&] { return doneSoFar().size() == 4; }));
        }
        worker.finish();
        EXPECT_TRUE(ended);
        EXPECT_FALSE(worker.hand(5)) << "nothing is taken after the finish";
        EXPECT_EQ(doneSoFar(), expected) << static_cast<int>(policy);
    }
}

// With nothing to do for a while, the worker says so on its own thread.
TEST(Worker, IdleIsCalledWhenNoItemComes) {
    std::atomic<int> idles{0};
    Worker<int> worker({"trailcam-idle", WhenFull::leaveOut, 1, nullptr, nullptr,
                        std::chrono::milliseconds(10), [&idles] { ++idles; }},
                       [](int&) {});
    EXPECT_TRUE(eventually([&idles] { return idles.load() >= 2; }));
}
