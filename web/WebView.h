#pragma once

#include "trail/Devices.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

// A small web view of the run: the page, the latest camera image and trail,
// the status of the last tick, the last hour of growth, and the snapshots.
// The loop hands each tick over and goes on; a thread of the view encodes
// the images once per tick, and requests only ever read what it published.
// Only GET and HEAD; no file outside the snapshot folder is ever read.
class WebView : public TickObserver {
public:
    WebView(std::string host, int port, std::string snapshotFolder, std::string device, FILE* err);
    ~WebView() override;
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Binds and starts serving; says where on err. False when it cannot bind.
    bool start();
    void onTick(const TickStatus& status, const cv::Mat& frame, const cv::Mat& trail) override;

    // What requests read: replaced as a whole at each tick.
    struct Published {
        std::string status = "{}";
        std::string history = "[]";
        std::string snapshots = "[]";
        std::string frame;
        std::string trail;
    };

private:
    struct Tick {
        TickStatus status;
        cv::Mat frame;
        cv::Mat trail;
        int64_t unixMillis = 0;
    };
    void encodeTicks();
    void publish(const Tick& tick);
    void route();

    std::string host_;
    int port_;
    std::string folder_;
    std::string device_;
    FILE* err_;
    std::unique_ptr<httplib::Server> server_;
    std::thread serving_;
    std::thread encoding_;

    std::mutex handOver_;
    std::condition_variable ticked_;
    std::unique_ptr<Tick> pending_;
    bool stopping_ = false;

    std::mutex publishing_;
    std::shared_ptr<const Published> published_ = std::make_shared<Published>();

    // Encoder thread only.
    std::deque<std::string> history_;  // "[unix seconds,diff,freq]" per tick, last hour
    int64_t startMillis_;
    int64_t ticks_ = 0;
    int32_t listedTrackCounter_ = -1;
    std::string snapshotList_ = "[]";
    std::string lastSnapshot_ = "null";
};

// The page itself: HTML, CSS and script in one, nothing fetched elsewhere.
extern const char* const kWebPage;
