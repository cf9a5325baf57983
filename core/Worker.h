#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// What a worker does when an item comes and its queue is full.
enum class WhenFull {
    keepNewest,  // the oldest waiting item goes: a slow worker skips items
    leaveOut,    // the new item is left out (the caller says so and counts it)
    wait,        // the caller waits for room (a replay, which must be the same on every run)
};

// Work handed to a named thread of its own through a bounded queue, with the
// policy each use chooses. The thread starts last in the constructor and is
// joined in finish() or the destructor.
template <typename Item>
class Worker {
public:
    struct Setup {
        std::string name;  // as ps -L shows it: at most 15 characters
        WhenFull whenFull = WhenFull::keepNewest;
        size_t capacity = 1;
        std::function<void()> first = nullptr;  // on the thread, before any item
        std::function<void()> last = nullptr;   // on the thread, after the last item
        // Called on the thread when no item came for this long (0: never).
        std::chrono::milliseconds idleAfter{0};
        std::function<void()> idle = nullptr;
    };

    Worker(Setup setup, std::function<void(Item&)> work)
        : setup_(std::move(setup)), work_(std::move(work)), thread_([this] { serve(); }) {}
    // A queue that keeps the newest drops what waits; the others are worked off.
    ~Worker() { finish(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Hands an item over; false when it was left out (a full queue that
    // leaves out, or a worker that has finished). An unbounded item (an
    // event among images) neither waits nor is left out, and keeps its place.
    bool hand(Item item, bool bounded = true) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (bounded && setup_.whenFull == WhenFull::wait)
                taken_.wait(lock, [this] { return boundedWaiting_ < setup_.capacity || finishing_; });
            if (finishing_) return false;
            if (bounded && boundedWaiting_ >= setup_.capacity) {
                if (setup_.whenFull == WhenFull::leaveOut) return false;
                dropOldestBounded();
            }
            queue_.push_back({std::move(item), bounded});
            boundedWaiting_ += bounded ? 1 : 0;
        }
        changed_.notify_one();
        return true;
    }

    // Whether a bounded item would find room now.
    bool hasRoom() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return boundedWaiting_ < setup_.capacity;
    }

    // How many bounded items may wait from now on (at least one).
    void setCapacity(size_t capacity) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            setup_.capacity = capacity > 0 ? capacity : 1;
        }
        taken_.notify_all();
    }

    // Takes no more items, works off what waits (what keeps only the newest
    // drops it) and joins the thread.
    void finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finishing_ = true;
            if (setup_.whenFull == WhenFull::keepNewest) {
                queue_.clear();
                boundedWaiting_ = 0;
            }
        }
        changed_.notify_all();
        taken_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    struct Waiting {
        Item item;
        bool bounded;
    };

    void dropOldestBounded() {
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (it->bounded) {
                queue_.erase(it);
                --boundedWaiting_;
                return;
            }
    }

    void serve() {
        pthread_setname_np(pthread_self(), setup_.name.substr(0, 15).c_str());
        if (setup_.first) setup_.first();
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto ready = [this] { return finishing_ || !queue_.empty(); };
            if (setup_.idle && setup_.idleAfter.count() > 0) {
                if (!changed_.wait_for(lock, setup_.idleAfter, ready)) {
                    lock.unlock();
                    setup_.idle();
                    continue;
                }
            } else {
                changed_.wait(lock, ready);
            }
            if (queue_.empty()) break;  // finishing, and nothing waits
            Waiting next = std::move(queue_.front());
            queue_.pop_front();
            boundedWaiting_ -= next.bounded ? 1 : 0;
            lock.unlock();
            taken_.notify_all();
            work_(next.item);
        }
        if (setup_.last) setup_.last();
    }

    Setup setup_;
    std::function<void(Item&)> work_;
    std::mutex mutex_;
    std::condition_variable changed_;  // an item came, or the end
    std::condition_variable taken_;    // room for one more
    std::deque<Waiting> queue_;
    size_t boundedWaiting_ = 0;
    bool finishing_ = false;
    std::thread thread_;  // last: it starts once everything above is there
};

// Calls start under a thread name, which the threads it starts inherit: a
// library's own threads (the MQTT client's, OpenCV's pool) are named so.
template <typename Start>
auto startThreadsNamed(const char* name, Start start) {
    char own[16] = {};
    pthread_getname_np(pthread_self(), own, sizeof own);
    pthread_setname_np(pthread_self(), name);
    struct Restore {
        const char* own;
        ~Restore() { pthread_setname_np(pthread_self(), own); }
    } restore{own};
    return start();
}
