#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Work handed to a thread of its own, which always takes the newest item: an
// item not taken yet is replaced by the next one. A slow consumer then skips
// items instead of holding up the thread that hands them over, or piling
// them up.
template <typename Item>
class LatestOnly {
public:
    // first, when given, runs on the thread before any item.
    explicit LatestOnly(std::function<void(Item&)> work, std::function<void()> first = nullptr)
        : work_(std::move(work)), thread_([this, first] {
              if (first) first();
              serve();
          }) {}
    ~LatestOnly() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    LatestOnly(const LatestOnly&) = delete;
    LatestOnly& operator=(const LatestOnly&) = delete;

    void hand(Item item) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            pending_ = std::move(item);
        }
        changed_.notify_one();
    }

private:
    void serve() {
        for (;;) {
            std::optional<Item> item;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return stopping_ || pending_; });
                if (stopping_) return;
                item.swap(pending_);
            }
            work_(*item);
        }
    }

    std::function<void(Item&)> work_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Item> pending_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything above is there
};
