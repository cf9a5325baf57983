#include "web/WebView.h"

#include "platform/Clocks.h"
#include "platform/LiveFiles.h"
#include "platform/SnapshotFiles.h"
#include "trail/TrailLoop.h"

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <queue>

namespace {

constexpr size_t kWorkers = 8;
constexpr size_t kMaxWaitingConnections = 64;
constexpr size_t kHistoryTicks = 3600;
constexpr size_t kListedSnapshots = 500;

// Connections beyond what the workers and a short queue can take are
// answered at once with 503 instead of piling up.
thread_local bool overloaded = false;

class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool() {
        for (size_t i = 0; i < kWorkers; ++i)
            threads_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (waiting_.size() < kMaxWaitingConnections) {
                waiting_.push(std::move(task));
                changed_.notify_one();
                return;
            }
        }
        overloaded = true;
        task();
        overloaded = false;
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
                if (waiting_.empty()) return;
                task = std::move(waiting_.front());
                waiting_.pop();
            }
            task();
        }
    }
    std::vector<std::thread> threads_;
    std::queue<std::function<void()>> waiting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
};

void plain(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

// A snapshot file, opened without following links, from the folder only.
bool readSnapshot(const std::string& folder, const std::string& name, std::string& bytes) {
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return false;
    const int fd = openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(folderFd);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    bytes.resize(ok ? static_cast<size_t>(info.st_size) : 0);
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    close(fd);
    return ok;
}

std::string jpeg(const cv::Mat& image) {
    std::vector<uchar> bytes;
    if (image.empty() || !cv::imencode(".jpg", image, bytes)) return "";
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

WebView::WebView(std::string host, int port, std::string snapshotFolder, std::string device, FILE* err)
    : host_(std::move(host)),
      port_(port),
      folder_(std::move(snapshotFolder)),
      device_(std::move(device)),
      err_(err),
      server_(std::make_unique<httplib::Server>()),
      startMillis_(millis()) {}

WebView::~WebView() {
    {
        std::lock_guard<std::mutex> lock(handOver_);
        stopping_ = true;
    }
    ticked_.notify_all();
    if (encoding_.joinable()) encoding_.join();
    server_->stop();
    if (serving_.joinable()) serving_.join();
}

bool WebView::start() {
    route();
    const int port =
        port_ == 0 ? server_->bind_to_any_port(host_) : (server_->bind_to_port(host_, port_) ? port_ : -1);
    if (port < 0) {
        std::fprintf(err_, "web view: cannot listen on %s:%d\n", host_.c_str(), port_);
        return false;
    }
    std::fprintf(err_, "web view at http://%s:%d/\n", host_.c_str(), port);
    std::fflush(err_);
    serving_ = std::thread([this] { server_->listen_after_bind(); });
    encoding_ = std::thread([this] { encodeTicks(); });
    return true;
}

void WebView::onTick(const TickStatus& status, const cv::Mat& frame, const cv::Mat& trail) {
    auto tick = std::make_unique<Tick>(Tick{status, frame.clone(), trail.clone(), millis()});
    {
        std::lock_guard<std::mutex> lock(handOver_);
        pending_ = std::move(tick);  // a tick the view did not take yet is replaced
    }
    ticked_.notify_one();
}

void WebView::encodeTicks() {
    for (;;) {
        std::unique_ptr<Tick> tick;
        {
            std::unique_lock<std::mutex> lock(handOver_);
            ticked_.wait(lock, [this] { return stopping_ || pending_; });
            if (stopping_) return;
            tick = std::move(pending_);
        }
        publish(*tick);
    }
}

void WebView::publish(const Tick& tick) {
    auto next = std::make_shared<Published>();
    next->frame = jpeg(tick.frame);
    next->trail = jpeg(tick.trail);
    ++ticks_;
    const TickStatus& s = tick.status;
    const int64_t now = tick.unixMillis / 1000;
    history_.push_back("[" + std::to_string(now) + "," + std::to_string(s.diff) + "," +
                       std::to_string(s.freq) + "]");
    while (history_.size() > kHistoryTicks)
        history_.pop_front();
    next->history = "[";
    for (const std::string& point : history_)
        next->history += (next->history.size() > 1 ? "," : "") + point;
    next->history += "]";

    // The folder is listed again when the snapshot number moved, and once a
    // minute for changes made by others, not at every tick.
    if (s.trackCounter != listedTrackCounter_ || ticks_ % 60 == 1) {
        listedTrackCounter_ = s.trackCounter;
        const std::vector<SnapshotEntry> snapshots = listSnapshots(folder_, TrailLoop::kLastSnapshotNumber);
        lastSnapshot_ = "null";
        snapshotList_ = "[";
        for (size_t i = 0; i < snapshots.size() && i < kListedSnapshots; ++i) {
            const std::string entry = "{\"name\":\"" + std::to_string(snapshots[i].number) +
                                      ".jpg\",\"time\":\"" +
                                      utcTime(snapshots[i].modifiedNanos / 1000000000) +
                                      "\",\"bytes\":" + std::to_string(snapshots[i].bytes) + "}";
            snapshotList_ += (i > 0 ? "," : "") + entry;
            if (i == 0) lastSnapshot_ = entry;
        }
        snapshotList_ += "]";
    }
    next->snapshots = snapshotList_;
    char fields[320];
    std::snprintf(
        fields, sizeof fields,
        "{\"tick\":%lld,\"freq\":%d,\"frameCounter\":%d,\"diff\":%d,\"trackCounter\":%d,\"save\":%d,"
        "\"saveTimeout\":%d,\"uptimeSeconds\":%lld,\"time\":\"%s\",",
        static_cast<long long>(ticks_), s.freq, s.frameCounter, s.diff, s.trackCounter, s.save ? 1 : 0,
        s.saveTimeout, static_cast<long long>((tick.unixMillis - startMillis_) / 1000), utcTime(now).c_str());
    next->status = fields + std::string("\"device\":") + jsonString(device_) +
                   ",\"lastSnapshot\":" + lastSnapshot_ + "}";

    std::lock_guard<std::mutex> lock(publishing_);
    published_ = std::move(next);
}

void WebView::route() {
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new BoundedPool(); };
    server.set_read_timeout(2);
    server.set_write_timeout(5);
    server.set_keep_alive_max_count(20);
    server.set_keep_alive_timeout(2);
    server.set_payload_max_length(4096);
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        response.set_header("X-Content-Type-Options", "nosniff");
        if (overloaded) {
            response.set_header("Connection", "close");
            plain(response, 503, "busy, try again");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.method != "GET" && request.method != "HEAD") {
            response.set_header("Allow", "GET, HEAD");
            plain(response, 405, "only GET and HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            plain(response, response.status, response.status == 404 ? "not found" : "error");
    });
    const auto current = [this] {
        std::lock_guard<std::mutex> lock(publishing_);
        return published_;
    };
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kWebPage, "text/html; charset=utf-8");
        response.set_header(
            "Content-Security-Policy",
            "default-src 'none'; img-src 'self'; connect-src 'self'; style-src 'unsafe-inline'; "
            "script-src 'unsafe-inline'");
    });
    const auto json = [current](std::string Published::*field) {
        return [current, field](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_content((*current()).*field, "application/json");
        };
    };
    server.Get("/status.json", json(&Published::status));
    server.Get("/history.json", json(&Published::history));
    server.Get("/snapshots.json", json(&Published::snapshots));
    const auto image = [current](std::string Published::*field) {
        return [current, field](const httplib::Request&, httplib::Response& response) {
            const auto published = current();
            response.set_header("Cache-Control", "no-store");
            if (((*published).*field).empty()) return plain(response, 404, "no image yet");
            response.set_content((*published).*field, "image/jpeg");
        };
    };
    server.Get("/frame.jpg", image(&Published::frame));
    server.Get("/trail.jpg", image(&Published::trail));
    server.Get(R"(/snapshots/([0-9]{1,5}\.jpg))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   std::string bytes;
                   if (!readSnapshot(folder_, request.matches[1], bytes))
                       return plain(response, 404, "not found");
                   response.set_header("Cache-Control", "max-age=60");
                   response.set_content(bytes, "image/jpeg");
               });
}
