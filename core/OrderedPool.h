#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Makes items 0, 1, 2, ... on several threads at once and hands them over in
// that order. At most `capacity` items are being made or waiting to be
// taken, so memory stays flat however fast the makers are. An item whose
// `end` is set is the last: none after it is handed over. Item needs a
// default constructor and a bool `end`.
template <typename Item>
class OrderedPool {
public:
    // name: the makers' threads as ps -L shows them (at most 15 characters).
    OrderedPool(std::function<Item(int64_t index)> make, int threads, size_t capacity, std::string name)
        : make_(std::move(make)), capacity_(capacity) {
        for (int i = 0; i < threads; ++i)
            workers_.emplace_back([this, name] {
                pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
                work();
            });
    }
    // Lets each maker finish the item in hand, then stops.
    ~OrderedPool() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
    }
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;

    // The next item in order, waiting for it to be made; after the end, the
    // end item again.
    Item next() {
        if (ended_) {
            Item end;
            end.end = true;
            return end;
        }
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return ready_.count(nextToHand_) > 0; });
            item = std::move(ready_[nextToHand_]);
            ready_.erase(nextToHand_++);
        }
        changed_.notify_all();
        ended_ = item.end;
        return item;
    }

private:
    void work() {
        for (;;) {
            int64_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] {
                    return stopping_ ||
                           (end_ < 0 && nextToMake_ < nextToHand_ + static_cast<int64_t>(capacity_));
                });
                if (stopping_) return;
                index = nextToMake_++;
            }
            Item item = make_(index);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (item.end && (end_ < 0 || index < end_)) end_ = index;
                ready_[index] = std::move(item);
            }
            changed_.notify_all();
        }
    }

    std::function<Item(int64_t)> make_;
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int64_t, Item> ready_;
    int64_t nextToMake_ = 0;
    int64_t nextToHand_ = 0;
    int64_t end_ = -1;  // index of the end, once known
    bool stopping_ = false;
    bool ended_ = false;  // reader only
    std::vector<std::thread> workers_;
};
