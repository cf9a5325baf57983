#pragma once

#include "core/FileNames.h"
#include "core/Result.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "web/VideoFrames.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

// A small web view of the run: the page, the latest camera image and trail,
// the status of the last tick, the last hour of growth, and the snapshots.
// The loop hands each tick over and goes on; a thread of the view encodes
// the images once per tick, and requests only ever read what it published.
// The gallery is listed at the start, and follows the snapshots the loop
// makes from then on; it is listed again when a snapshot in it has gone
// (retention, or a hand that tidied the folder), looked for once a minute.
// One thread serves every connection (libmicrohttpd over epoll), with the
// memory of each bounded, the connections per client address and in all
// bounded, a budget of requests per client address, and clients that are
// slow to ask or to read cut off. Serving and encoding run below the
// capture loop's priority.
// Only GET and HEAD; no file outside the snapshot folder is ever read.
class WebView : public TrailListener {
public:
    struct Address {
        std::string host;                       // a name or a numeric address, IPv6 without brackets
        int port = 0;                           // 0: any free one
        std::vector<std::string> allowedHosts;  // Host names answered besides the address itself
        bool edit = false;                      // a person may leave segments out of the star trail
    };
    // What the view shows besides the loop's ticks and snapshots; each may be null.
    struct Shown {
        const EventShelf* events = nullptr;   // the events and their clips
        const LatestFile* keogram = nullptr;  // the night's keogram
        SegmentShelf* segments = nullptr;     // the night's segments
        std::function<std::string()>
            moreStatus;                        // status.json members besides the tick's, such as retention's
        const SkyReadings* quality = nullptr;  // the sky's quality over the night
        bool trailTimes = false;  // the time map is kept (--time-map): the time under the pointer
    };
    // source: the camera, stream or recording, as status.json names it.
    WebView(Address address, const SnapshotShelf& snapshots, Shown shown, std::string source, FILE* err);
    ~WebView() override;
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Binds and starts serving; says where on err. Fails when it cannot
    // listen there (a port in use among others).
    Result<> start();
    void ticked(const Tick& tick) override;
    // status.json says how far the exposure in progress is.
    void exposing(const Exposure& exposure) override;
    void snapshotWritten(const SnapshotDue& due) override;
    // Meteors (--meteors) are listed among the events, each with the trail
    // around it as its thumbnail, and with its clip once there is one.
    void meteorDetected(const Meteor& meteor) override;
    void clipWritten(const ClipWritten& clip) override;

    // What requests read: replaced as a whole at each tick.
    struct Published {
        std::string status = "{}";
        std::string history = "[]";
        std::string snapshots = "[]";
        std::string events = "[]";
        std::string products = "[]";
        std::string frame;
        std::string trail;
        std::map<int64_t, std::string> thumbnails;  // of the events, by their times
        std::map<int64_t, std::string> meteors;     // the meteors' thumbnails, by their starts
        cv::Mat timeMap;                            // of the trail shown, when kept
        int64_t timeMapStart = 0;
        int64_t tick = 0;
        std::string night;          // of the latest tick
        std::string growth = "[]";  // the night's growth, a point a minute
        std::string nights = "[]";  // the nights whose products are in the folder
    };

    // Called by the HTTP layer on its thread.
    struct Calls;

private:
    struct Handed {
        TickStatus status;
        std::shared_ptr<const TickPictures> pictures;
        int64_t millis = 0;
        cv::Mat timeMap;
        int64_t timeMapStart = 0;
    };
    struct Made {  // a snapshot the loop made
        int32_t number;
        int64_t start, end;
    };
    struct Connection {
        std::chrono::steady_clock::time_point since;  // of the wait for a request, or of its answer
        bool answering = false;
        int fd = -1;
        bool cutOff = false;
    };
    void publish(Handed& tick);
    std::string listEvents(Published& next) const;
    // The newest snapshots in the folder, listed again from scratch.
    void listGallery();
    void listSnapshot(const SnapshotEntry& snapshot, const std::string& start, const std::string& end);
    int answerFile(MHD_Connection* connection, int fd, uint64_t size, const char* type);
    // The night's timelapse: its listing, or image `frame` of it.
    int answerTimelapse(MHD_Connection* connection, std::optional<int64_t> frame);
    // Image `frame` of a video whose listing is known, as stored; fd is the video's.
    int answerFrame(MHD_Connection* connection, const VideoFrames::Listing* listing, int64_t frame, int fd,
                    uint64_t size, const std::string& tag);
    int answerClipFrame(MHD_Connection* connection, const std::string& name, const std::string& rest);
    // Adds a tick to the night's growth; returns the growth as JSON.
    std::string addGrowth(int64_t millis, const std::string& night, const TickStatus& status);
    std::string listNights(const std::vector<ProductFile>& products);
    int answerTime(MHD_Connection* connection);
    int answerEdit(MHD_Connection* connection);
    void serve();
    void cutOffSlowClients();
    bool withinBudget(MHD_Connection* connection);
    // Answers a GET or HEAD; an MHD_Result.
    int route(MHD_Connection* connection, const std::string& url);
    static constexpr int kNoRoute = -1;
    int routeFile(MHD_Connection* connection, const std::string& url);
    int answerStatus(MHD_Connection* connection);
    std::shared_ptr<const Published> current();

    Address address_;
    bool loopback_ = false;
    const SnapshotShelf& snapshots_;
    Shown shown_;
    std::string source_;
    FILE* err_;
    MHD_Daemon* daemon_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread serving_;
    struct Budget {
        double tokens;
        std::chrono::steady_clock::time_point since;
    };
    std::unordered_map<MHD_Connection*, Connection> connections_;  // serving thread only
    std::unordered_map<std::string, Budget> budgets_;              // by client address; serving thread only
    VideoFrames videoFrames_;                                      // serving thread only
    // The nights' timelapses as last looked for, and when; serving thread only.
    std::map<std::string, std::pair<std::chrono::steady_clock::time_point, std::optional<std::string>>>
        timelapseFound_;

    std::mutex publishing_;
    std::shared_ptr<const Published> published_ = std::make_shared<Published>();
    std::vector<Made> newSnapshots_;  // made since the last tick was published; under publishing_
    std::string exposure_;            // status.json's member for the exposure in progress; under publishing_

    // Encoder thread only.
    mutable std::mutex meteorsMutex_;
    std::deque<Meteor> meteors_;       // newest first, under meteorsMutex_
    std::deque<std::string> history_;  // "[unix seconds,diff,freq]" per tick, last hour
    std::optional<int64_t> firstTickMillis_;
    int64_t ticks_ = 0;
    std::deque<std::pair<int32_t, std::string>> gallery_;  // numbers and entries, newest first
    std::string products_;
    std::string nights_ = "[]";
    std::string growthNight_;
    struct Minute {
        int64_t start;  // unix seconds
        int32_t diff;   // the largest of its ticks
        int64_t freqs;  // the sum of its ticks'
        int32_t ticks;
    };
    Minute minute_{};           // the minute in progress
    std::string grownMinutes_;  // the night's minutes before it, as JSON points
    struct TimelapseSeen {
        int64_t size = -1;  // of its index when read
        size_t frames = 0;
        int fps = 30;
    };
    std::map<std::string, TimelapseSeen> timelapses_;  // by their indexes' paths
    Worker<Handed> encoder_;                           // last: its thread uses the members above
};

// Whether a request's Host header names this server: against DNS
// rebinding, a view bound to a loopback address answers loopback names and
// addresses only, plus the allowed names; one bound elsewhere answers any
// host unless names are given, and then those, localhost and bare addresses.
// A request without Host (HTTP/1.0) is answered.
bool hostAllowed(const std::string& host, bool loopbackBound, const std::vector<std::string>& allowed);

// Whether an If-None-Match header holds a tag: "*", or a list of tags,
// each compared without its weak prefix ("W/").
bool tagHeld(const std::string& header, const std::string& tag);

// "http://[::1]:8080/" or "http://127.0.0.1:8080/"
std::string webAddress(const std::string& host, int port);

// The page itself: HTML, CSS and script in one, nothing fetched elsewhere,
// made at build time from web/page/ (index.html, style.css, app.js). The
// night page, phone first. Polls /status.json once a second; at a new tick
// it reloads the two images and the fields, and the rest only when the
// status says it changed (a snapshot, an event, a measurement of the sky) or
// once a minute (the night's products). The keogram scrubs the night's
// timelapse, whose images come one by one as they are stored in the video;
// times and places are fetched the first time they are needed.
extern const char* const kWebPage;
