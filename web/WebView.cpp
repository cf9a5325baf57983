#include "web/WebView.h"

#include "core/Json.h"
#include "core/Night.h"
#include "core/TimeColours.h"
#include "platform/Files.h"
#include "platform/ProductFiles.h"
#include "platform/Threads.h"

#include <microhttpd.h>
#include <opencv2/imgcodecs.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kConnections = 256;
constexpr unsigned kConnectionsPerAddress = 64;
constexpr size_t kMemoryPerConnection = 32 * 1024;  // request line and headers must fit
constexpr unsigned kIdleSeconds = 10;
constexpr auto kRequestDeadline = std::chrono::seconds(5);  // from connecting to the last header line
constexpr auto kAnswerDeadline = std::chrono::seconds(60);
// Requests a client address may make: a page polls a few a second; a client
// in a tight loop is answered 429 beyond this, at almost no cost.
constexpr double kRequestsPerSecond = 100;
constexpr double kRequestBurst = 200;
constexpr size_t kBudgetsKept = 4096;
constexpr size_t kHistoryTicks = 3600;
constexpr size_t kMeteorsKept = 200;  // listed among the events
constexpr size_t kListedSnapshots = 500;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family != AF_INET6) return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) return a.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&a);
}

// Percent-decoding in place, as the server's own, except that "%00" stays as
// it is: a name cut short at a decoded NUL would be another name.
size_t unescape(void*, MHD_Connection*, char* text) {
    const auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    char* to = text;
    for (const char* from = text; *from != '\0'; ++from) {
        const int high = from[0] == '%' ? hex(from[1]) : -1, low = high >= 0 ? hex(from[2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            *to++ = static_cast<char>(high * 16 + low);
            from += 2;
        } else {
            *to++ = *from;
        }
    }
    *to = '\0';
    return static_cast<size_t>(to - text);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

MHD_Response* plain(const std::string& text) {
    const std::string body = text + "\n";
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
    return response;
}

// A response that reads a published text in place, keeping it alive.
MHD_Response* sharing(const std::shared_ptr<const WebView::Published>& published, const std::string& text) {
    auto* keep = new std::shared_ptr<const WebView::Published>(published);
    return MHD_create_response_from_buffer_with_free_callback_cls(
        text.size(), const_cast<char*>(text.data()),
        [](void* kept) { delete static_cast<std::shared_ptr<const WebView::Published>*>(kept); }, keep);
}

MHD_Result send(MHD_Connection* connection, unsigned status, MHD_Response* response) {
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// A picture the client has already, by its tag: 304 with nothing in it.
std::optional<MHD_Result> notModified(MHD_Connection* connection, const std::string& tag) {
    const char* held = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "If-None-Match");
    if (held == nullptr || !tagHeld(held, tag)) return std::nullopt;
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "ETag", tag.c_str());
    return send(connection, MHD_HTTP_NOT_MODIFIED, response);
}

MHD_Result sendJson(MHD_Connection* connection, const std::string& text) {
    MHD_Response* response =
        MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}

}  // namespace

bool tagHeld(const std::string& header, const std::string& tag) {
    const auto trimmed = [](const std::string& text, size_t from, size_t to) {
        while (from < to && (text[from] == ' ' || text[from] == '\t'))
            ++from;
        while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t'))
            --to;
        return text.substr(from, to - from);
    };
    for (size_t start = 0; start <= header.size();) {
        size_t end = header.find(',', start);
        if (end == std::string::npos) end = header.size();
        std::string held = trimmed(header, start, end);
        if (held == "*") return true;
        if (held.rfind("W/", 0) == 0) held.erase(0, 2);
        if (held == tag) return true;
        start = end + 1;
    }
    return false;
}

bool hostAllowed(const std::string& host, bool loopbackBound, const std::vector<std::string>& allowed) {
    if (host.empty()) return true;
    std::string name = lowercase(host);
    if (name.front() == '[') {
        name = name.substr(1, name.find(']') == std::string::npos ? std::string::npos : name.find(']') - 1);
    } else if (std::count(name.begin(), name.end(), ':') == 1) {
        name = name.substr(0, name.find(':'));
    }
    if (std::any_of(allowed.begin(), allowed.end(),
                    [&name](const std::string& a) { return lowercase(a) == name; }))
        return true;
    const bool localName =
        name == "localhost" || (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0);
    in_addr v4{};
    in6_addr v6{};
    const bool v4Literal = inet_pton(AF_INET, name.c_str(), &v4) == 1;
    const bool v6Literal = inet_pton(AF_INET6, name.c_str(), &v6) == 1;
    if (loopbackBound)
        return localName || (v4Literal && (ntohl(v4.s_addr) >> 24) == 127) ||
               (v6Literal && IN6_IS_ADDR_LOOPBACK(&v6));
    return allowed.empty() || localName || v4Literal || v6Literal;
}

namespace {
// "[::1]:8080" or "127.0.0.1:8080"
std::string hostAndPort(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
}  // namespace

std::string webAddress(const std::string& host, int port) {
    return "http://" + hostAndPort(host, port) + "/";
}

// The callbacks libmicrohttpd makes, all on the serving thread.
struct WebView::Calls {
    static void connected(void* view, MHD_Connection* connection, void**,
                          MHD_ConnectionNotificationCode code) {
        auto& connections = static_cast<WebView*>(view)->connections_;
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            connections.erase(connection);
            return;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        connections[connection] = {Clock::now(), false, info != nullptr ? info->connect_fd : -1, false};
    }

    static void completed(void* view, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
        auto& connections = static_cast<WebView*>(view)->connections_;
        const auto found = connections.find(connection);
        if (found != connections.end()) found->second.since = Clock::now(), found->second.answering = false;
    }

    static MHD_Result answer(void* view, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char*, size_t* uploadSize, void** request) {
        auto& self = *static_cast<WebView*>(view);
        if (*request == nullptr && !self.withinBudget(connection)) {
            MHD_Response* response = plain("too many requests, slow down");
            MHD_add_response_header(response, "Retry-After", "1");
            return send(connection, MHD_HTTP_TOO_MANY_REQUESTS, response);
        }
        const std::string verb = method;
        const bool edit = verb == "POST" && self.address_.edit && std::string(url) == "/segments/exclude";
        if (verb != "GET" && verb != "HEAD" && !edit) {  // answered at once: its body is never read
            MHD_Response* response = plain("only GET and HEAD");
            MHD_add_response_header(response, "Allow", "GET, HEAD");
            return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response);
        }
        if (*request == nullptr) {
            // The first call of a request: its headers are in. Answering only
            // at the next call keeps the connection alive for the next request.
            *request = &self;
            const auto found = self.connections_.find(connection);
            if (found != self.connections_.end())
                found->second.since = Clock::now(), found->second.answering = true;
            return MHD_YES;
        }
        if (uploadSize != nullptr && *uploadSize != 0) {
            // A body (an edit's form, say) is read and passed over: the
            // answer comes once it is all in.
            *uploadSize = 0;
            return MHD_YES;
        }
        const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
        if (!hostAllowed(host != nullptr ? host : "", self.loopback_, self.address_.allowedHosts))
            return send(connection, MHD_HTTP_FORBIDDEN, plain("unknown host name"));
        if (edit) return static_cast<MHD_Result>(self.answerEdit(connection));
        return static_cast<MHD_Result>(self.route(connection, url));
    }
};

WebView::WebView(Address address, const SnapshotShelf& snapshots, Shown shown, std::string source, FILE* err)
    : address_(std::move(address)),
      snapshots_(snapshots),
      shown_(shown),
      source_(std::move(source)),
      err_(err),
      encoder_({"trailcam-encode", WhenFull::keepNewest, 1, lowerThisThreadsPriority},
               [this](Handed& tick) { publish(tick); }) {
    listGallery();
}

void WebView::listGallery() {
    gallery_.clear();
    std::vector<SnapshotEntry> listed;
    for (const SnapshotEntry& entry : snapshots_.list())
        if (entry.servable && listed.size() < kListedSnapshots) listed.push_back(entry);
    for (size_t i = listed.size(); i-- > 0;) {
        const auto times = snapshots_.sidecarTimes(listed[i].number);
        listSnapshot(listed[i], times ? times->first : "", times ? times->second : "");
    }
}

WebView::~WebView() {
    stopping_ = true;
    if (serving_.joinable()) serving_.join();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

Result<> WebView::start() {
    const std::string where = hostAndPort(address_.host, address_.port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved =
        getaddrinfo(address_.host.c_str(), std::to_string(address_.port).c_str(), &hints, &found);
    if (resolved != 0) return Failure{"cannot listen on " + where + ": " + gai_strerror(resolved)};
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> address(found, freeaddrinfo);
    // SO_REUSEADDR only: a restart may bind while old connections linger,
    // but a second listener on the same port is refused.
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 64) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) close(fd);
        return Failure{"cannot listen on " + where + ": " + reason};
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    loopback_ = isLoopback(reinterpret_cast<sockaddr*>(&bound));
    const int port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | (bound.ss_family == AF_INET6 ? MHD_USE_IPv6 : 0), 0, nullptr, nullptr, &Calls::answer,
        this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kMemoryPerConnection, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_CONNECTION,
        &Calls::connected, this, MHD_OPTION_NOTIFY_COMPLETED, &Calls::completed, this,
        MHD_OPTION_UNESCAPE_CALLBACK, &unescape, nullptr, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        close(fd);
        return Failure{"cannot serve on " + where};
    }
    std::fprintf(err_, "web view at %s\n", webAddress(address_.host, port).c_str());
    std::fflush(err_);
    serving_ = std::thread([this] { serve(); });
    return {};
}

void WebView::serve() {
    nameThisThread("trailcam-web");
    lowerThisThreadsPriority();
    while (!stopping_) {
        MHD_run_wait(daemon_, 200);
        cutOffSlowClients();
    }
}

// One more request from the connection's address, if its budget has room:
// a bucket that fills at kRequestsPerSecond up to kRequestBurst.
bool WebView::withinBudget(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return true;
    const sockaddr* address = info->client_addr;
    const auto* bytes =
        address->sa_family == AF_INET6
            ? reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
            : reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    const std::string key(bytes, address->sa_family == AF_INET6 ? 16 : 4);
    if (budgets_.size() > kBudgetsKept) budgets_.clear();
    const auto now = Clock::now();
    const auto [entry, added] = budgets_.try_emplace(key, Budget{kRequestBurst, now});
    Budget& budget = entry->second;
    const double refill = std::chrono::duration<double>(now - budget.since).count() * kRequestsPerSecond;
    budget.tokens = std::min(kRequestBurst, budget.tokens + refill);
    budget.since = now;
    if (budget.tokens < 1) return false;
    budget.tokens -= 1;
    return true;
}

// A client that takes too long to say what it wants, or to take its answer,
// is cut off: shutting its socket down makes the server close it.
void WebView::cutOffSlowClients() {
    const auto now = Clock::now();
    for (auto& [connection, c] : connections_) {
        if (c.cutOff || c.fd < 0 || now - c.since < (c.answering ? kAnswerDeadline : kRequestDeadline))
            continue;
        shutdown(c.fd, SHUT_RDWR);
        c.cutOff = true;
    }
}

void WebView::ticked(const Tick& tick) {
    {
        const std::lock_guard<std::mutex> lock(publishing_);
        exposure_.clear();  // that exposure is in; the next one is told as it runs
    }
    encoder_.hand({tick.status, tick.pictures(), tick.frame.millis,
                   shown_.trailTimes ? tick.timeMap.clone() : cv::Mat(), tick.span.startMillis});
}

void WebView::meteorDetected(const Meteor& meteor) {
    const std::lock_guard<std::mutex> lock(meteorsMutex_);
    meteors_.push_front(meteor);
    if (meteors_.size() > kMeteorsKept) meteors_.pop_back();
}

void WebView::clipWritten(const ClipWritten& clip) {
    const std::lock_guard<std::mutex> lock(meteorsMutex_);
    for (Meteor& meteor : meteors_)
        if (clipOf(meteor, clip.firstMillis, clip.lastMillis)) meteor.clip = clip.name;
}

void WebView::exposing(const Exposure& exposure) {
    const std::lock_guard<std::mutex> lock(publishing_);
    exposure_ = "\"exposure\":" + exposureJson(exposure);
}

// The tick's status, with the exposure in progress when there is one.
int WebView::answerStatus(MHD_Connection* connection) {
    std::string exposure;
    {
        const std::lock_guard<std::mutex> lock(publishing_);
        exposure = exposure_;
    }
    std::string status = current()->status;
    if (!exposure.empty() && status.size() > 2) status.insert(status.size() - 1, "," + exposure);
    MHD_Response* response = MHD_create_response_from_buffer(status.size(), const_cast<char*>(status.data()),
                                                             MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}

void WebView::snapshotWritten(const SnapshotDue& due) {
    const std::lock_guard<std::mutex> lock(publishing_);
    newSnapshots_.push_back({due.number, due.span.startMillis, due.span.endMillis});
}

// Puts a snapshot at the head of the gallery (a number the wrap reached
// again leaves its older place), with its start and end when known.
void WebView::listSnapshot(const SnapshotEntry& snapshot, const std::string& start, const std::string& end) {
    gallery_.erase(std::remove_if(gallery_.begin(), gallery_.end(),
                                  [&snapshot](const auto& entry) { return entry.first == snapshot.number; }),
                   gallery_.end());
    const auto timeOrNull = [](const std::string& time) { return time.empty() ? "null" : jsonString(time); };
    gallery_.emplace_front(
        snapshot.number,
        "{\"name\":" + jsonString(snapshotName(snapshot.number)) + ",\"time\":\"" +
            utcTime(snapshot.modifiedNanos / 1000000000) + "\",\"bytes\":" + std::to_string(snapshot.bytes) +
            ",\"start\":" + timeOrNull(start) + ",\"end\":" + timeOrNull(end) +
            ",\"timeMap\":" + (snapshots_.has(snapshot.number, kTimeColoursSuffix) ? "true" : "false") + "}");
    while (gallery_.size() > kListedSnapshots)
        gallery_.pop_back();
}

void WebView::publish(Handed& tick) {
    auto next = std::make_shared<Published>();
    const auto text = [](const TickPictures::Bytes& bytes) {
        return std::string(bytes->begin(), bytes->end());
    };
    next->frame = text(tick.pictures->frameJpeg());
    next->trail = text(tick.pictures->trailJpeg());
    ++ticks_;
    if (!firstTickMillis_) firstTickMillis_ = tick.millis;
    const TickStatus& s = tick.status;
    const int64_t now = tick.millis / 1000;
    next->tick = ticks_;
    next->night = nightOf(tick.millis);
    next->growth = addGrowth(tick.millis, next->night, s);
    history_.push_back("[" + std::to_string(now) + "," + std::to_string(s.diff) + "," +
                       std::to_string(s.freq) + "]");
    while (history_.size() > kHistoryTicks)
        history_.pop_front();
    next->history = "[";
    for (const std::string& point : history_)
        next->history += (next->history.size() > 1 ? "," : "") + point;
    next->history += "]";

    std::vector<Made> made;
    {
        const std::lock_guard<std::mutex> lock(publishing_);
        made.swap(newSnapshots_);
    }
    for (const Made& m : made)
        if (const auto snapshot = snapshots_.find(m.number); snapshot && snapshot->servable)
            listSnapshot(*snapshot, utcTimeMillis(m.start), utcTimeMillis(m.end));
    std::string lastEvent = "null";
    // The night products, and the gallery when a snapshot in it has gone:
    // looked at again once a minute.
    if (ticks_ % 60 == 1 || products_.empty()) {
        if (std::any_of(gallery_.begin(), gallery_.end(),
                        [this](const auto& entry) { return !snapshots_.find(entry.first); }))
            listGallery();
        products_ = "[";
        const std::vector<ProductFile> products = listProducts(snapshots_.path());
        nights_ = listNights(products);
        for (const ProductFile& product : products)
            products_ += (products_.size() > 1 ? ",{\"name\":" : "{\"name\":") + jsonString(product.name) +
                         ",\"kind\":\"" + product.kind + "\",\"night\":\"" + product.night +
                         "\",\"bytes\":" + std::to_string(product.bytes) + "}";
        products_ += "]";
    }
    next->products = products_;
    next->nights = nights_;
    next->timeMap = tick.timeMap;
    next->timeMapStart = tick.timeMapStart;
    lastEvent = listEvents(*next);
    next->snapshots = "[";
    for (const auto& entry : gallery_)
        next->snapshots += (next->snapshots.size() > 1 ? "," : "") + entry.second;
    next->snapshots += "]";
    next->status = "{\"tick\":" + std::to_string(ticks_) + "," + statusJsonMembers(s) +
                   ",\"uptimeSeconds\":" + std::to_string((tick.millis - *firstTickMillis_) / 1000) +
                   ",\"time\":\"" + utcTime(now) + "\",\"night\":\"" + next->night +
                   "\",\"device\":" + jsonString(source_) +
                   ",\"lastSnapshot\":" + (gallery_.empty() ? "null" : gallery_.front().second) +
                   ",\"lastEvent\":" + lastEvent + (address_.edit ? ",\"edit\":true" : "") +
                   (shown_.moreStatus ? "," + shown_.moreStatus() : std::string()) + "}";

    const std::lock_guard<std::mutex> lock(publishing_);
    published_ = std::move(next);
}

// The night's growth a minute at a time: its largest and its mean rate. A
// minute is written out once, when the next begins.
std::string WebView::addGrowth(int64_t millis, const std::string& night, const TickStatus& status) {
    const auto point = [](const Minute& m) {
        return "[" + std::to_string(m.start) + "," + std::to_string(m.diff) + "," +
               cv::format("%.1f", static_cast<double>(m.freqs) / m.ticks) + "]";
    };
    if (night != growthNight_) growthNight_ = night, grownMinutes_.clear(), minute_ = {};
    const int64_t start = millis / 1000 / 60 * 60;
    if (minute_.ticks > 0 && minute_.start != start) {
        grownMinutes_ += (grownMinutes_.empty() ? "" : ",") + point(minute_);
        minute_ = {};
    }
    if (minute_.ticks == 0) minute_.start = start;
    minute_.diff = std::max(minute_.diff, status.diff);
    minute_.freqs += status.freq;
    ++minute_.ticks;
    return "[" + grownMinutes_ + (grownMinutes_.empty() ? "" : ",") + point(minute_) + "]";
}

// A night an entry, newest first: its keogram, star trail and timelapse
// (the newest part, with its images and rate), and whether it has meteors.
std::string WebView::listNights(const std::vector<ProductFile>& products) {
    std::vector<std::string> nights;
    for (const ProductFile& product : products)
        if (nights.empty() || nights.back() != product.night) nights.push_back(product.night);
    std::string list = "[";
    for (const std::string& night : nights) {
        const auto name = [&](const char* kind) {
            const std::optional<ProductFile> newest = newestPart(products, kind, night);
            return newest ? jsonString(newest->name) : std::string("null");
        };
        TimelapseSeen seen;
        if (const std::optional<ProductFile> timelapse = newestPart(products, kTimelapse, night)) {
            const std::string index =
                snapshots_.path() + "/" + timelapse->name.substr(0, timelapse->name.size() - 4) + ".json";
            struct stat info {};
            if (stat(index.c_str(), &info) == 0) {
                TimelapseSeen& kept = timelapses_[index];
                if (kept.size != info.st_size) {
                    const std::optional<nlohmann::json> json = readJsonFile(index);
                    const std::optional<StoredFrames> stored = json ? storedFramesOf(*json) : std::nullopt;
                    kept = {static_cast<int64_t>(info.st_size), stored ? stored->frames.size() : 0,
                            json && json->contains("fps") && (*json)["fps"].is_number_integer()
                                ? std::max(1, (*json)["fps"].get<int>())
                                : 30};
                }
                seen = kept;
            }
        }
        struct stat info {};
        const bool meteors =
            stat((snapshots_.path() + "/" + productBase(kMeteors, night) + ".json").c_str(), &info) == 0;
        list += std::string(list.size() > 1 ? "," : "") + "{\"night\":\"" + night +
                "\",\"keogram\":" + name(kKeogram) + ",\"startrail\":" + name(kStartrail) +
                ",\"timelapse\":" + name(kTimelapse) + ",\"frames\":" + std::to_string(seen.frames) +
                ",\"fps\":" + std::to_string(seen.fps) + ",\"meteors\":" + (meteors ? "true" : "false") + "}";
    }
    return list + "]";
}

// The events and meteors into the published texts and thumbnails, newest
// first; returns the newest event as status.json's lastEvent.
std::string WebView::listEvents(Published& next) const {
    const auto box = [](const cv::Rect& b) {
        return "[" + std::to_string(b.x) + "," + std::to_string(b.y) + "," + std::to_string(b.width) + "," +
               std::to_string(b.height) + "]";
    };
    const auto clip = [](const std::string& name) {
        return name.empty() ? std::string("null") : jsonString(name);
    };
    std::vector<std::pair<int64_t, std::string>> listed;  // time, entry
    std::string lastEvent = "null";
    if (shown_.events != nullptr) {
        const std::vector<EventSeen> seen = shown_.events->events();
        if (!seen.empty())
            lastEvent = "{\"time\":\"" + utcTimeMillis(seen.front().millis) +
                        "\",\"clip\":" + clip(seen.front().clip) + "}";
        for (const EventSeen& event : seen) {
            listed.emplace_back(event.millis, "{\"time\":\"" + utcTimeMillis(event.millis) + "\",\"diff\":" +
                                                  std::to_string(event.diff) + ",\"box\":" + box(event.box) +
                                                  ",\"thumbnail\":\"events/" + std::to_string(event.millis) +
                                                  ".jpg\",\"clip\":" + clip(event.clip) + "}");
            next.thumbnails[event.millis] = event.thumbnail;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(meteorsMutex_);
        for (const Meteor& meteor : meteors_) {
            listed.emplace_back(meteor.startMillis,
                                "{\"time\":\"" + utcTimeMillis(meteor.startMillis) +
                                    "\",\"meteor\":" + meteorJson(meteor) + ",\"box\":" + box(meteor.box) +
                                    ",\"thumbnail\":\"meteors/" + std::to_string(meteor.startMillis) +
                                    ".jpg\",\"clip\":" + clip(meteor.clip) + "}");
            if (meteor.thumbnail)
                next.meteors[meteor.startMillis] = {meteor.thumbnail->begin(), meteor.thumbnail->end()};
        }
    }
    std::stable_sort(listed.begin(), listed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    next.events = "[";
    for (const auto& entry : listed)
        next.events += (next.events.size() > 1 ? "," : "") + entry.second;
    next.events += "]";
    return lastEvent;
}

std::shared_ptr<const WebView::Published> WebView::current() {
    std::lock_guard<std::mutex> lock(publishing_);
    return published_;
}

// The files and thumbnails by their exact names only; kNoRoute for other
// addresses. A Range is not honoured: the whole file is sent.
int WebView::routeFile(MHD_Connection* connection, const std::string& url) {
    uint64_t size = 0;
    const std::string snapshotsPrefix = "/snapshots/", clipsPrefix = "/clips/", eventsPrefix = "/events/";
    if (url.rfind(snapshotsPrefix, 0) == 0) {
        const std::string name = url.substr(snapshotsPrefix.size());
        const int fd = snapshots_.openToServe(name, size);
        return answerFile(connection, fd, size, endsWith(name, ".json") ? "application/json" : "image/jpeg");
    }
    if (url.rfind(clipsPrefix, 0) == 0 && shown_.events != nullptr) {
        const std::string name = url.substr(clipsPrefix.size());
        if (const size_t slash = name.find('/'); slash != std::string::npos)
            return answerClipFrame(connection, name.substr(0, slash), name.substr(slash + 1));
        const int fd = shown_.events->openToServe(name, size);
        return answerFile(connection, fd, size,
                          endsWith(name, ".json") ? "application/json" : "video/x-msvideo");
    }
    for (const auto& [prefix, thumbnails] : {std::pair{eventsPrefix, &Published::thumbnails},
                                             std::pair{std::string("/meteors/"), &Published::meteors}}) {
        if (url.rfind(prefix, 0) != 0) continue;
        const std::shared_ptr<const Published> published = current();
        for (const auto& [millis, thumbnail] : (*published).*thumbnails)
            if (url == prefix + std::to_string(millis) + ".jpg") {
                MHD_Response* response = sharing(published, thumbnail);
                MHD_add_response_header(response, "Content-Type", "image/jpeg");
                return send(connection, MHD_HTTP_OK, response);
            }
    }
    const std::string productsPrefix = "/products/";
    if (url.rfind(productsPrefix, 0) == 0 && productOf(url.substr(productsPrefix.size()))) {
        const std::string name = url.substr(productsPrefix.size());
        const int fd = openOwnFile(snapshots_.path() + "/" + name, size);
        return answerFile(connection, fd, size,
                          endsWith(name, ".mkv")    ? "video/x-matroska"
                          : endsWith(name, ".json") ? "application/json"
                          : endsWith(name, ".jpg")  ? "image/jpeg"
                                                    : "image/png");
    }
    return kNoRoute;
}

int WebView::route(MHD_Connection* connection, const std::string& url) {
    if (url == "/") {
        MHD_Response* page = MHD_create_response_from_buffer(
            std::strlen(kWebPage), const_cast<char*>(kWebPage), MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(page, "Content-Type", "text/html; charset=utf-8");
        MHD_add_response_header(page, "Content-Security-Policy",
                                "default-src 'none'; img-src 'self'; connect-src 'self'; "
                                "style-src 'unsafe-inline'; script-src 'unsafe-inline'");
        return send(connection, MHD_HTTP_OK, page);
    }
    if (url == "/status.json") return answerStatus(connection);
    static const std::vector<std::pair<std::string, std::string Published::*>> texts = {
        {"/history.json", &Published::history}, {"/snapshots.json", &Published::snapshots},
        {"/events.json", &Published::events},   {"/products.json", &Published::products},
        {"/frame.jpg", &Published::frame},      {"/trail.jpg", &Published::trail},
        {"/nights.json", &Published::nights},   {"/growth.json", &Published::growth}};
    for (const auto& [path, field] : texts) {
        if (url != path) continue;
        const std::shared_ptr<const Published> published = current();
        const std::string& text = (*published).*field;
        const bool image = path.back() == 'g';
        if (text.empty()) return send(connection, MHD_HTTP_NOT_FOUND, plain("no image yet"));
        // A tick's picture is the same until the next tick.
        const std::string tag = "\"tick-" + std::to_string(published->tick) + "\"";
        if (image)
            if (const std::optional<MHD_Result> same = notModified(connection, tag)) return *same;
        MHD_Response* response = sharing(published, text);
        MHD_add_response_header(response, "Content-Type", image ? "image/jpeg" : "application/json");
        MHD_add_response_header(response, "Cache-Control", image ? "no-cache" : "no-store");
        if (image) MHD_add_response_header(response, "ETag", tag.c_str());
        return send(connection, MHD_HTTP_OK, response);
    }
    if (url == "/timelapse.json") return answerTimelapse(connection, std::nullopt);
    if (const std::string prefix = "/timelapse/"; url.rfind(prefix, 0) == 0) {
        const std::optional<int64_t> frame = frameNumberOf(url.substr(prefix.size()));
        if (!frame) return send(connection, MHD_HTTP_BAD_REQUEST, plain("a frame is /timelapse/N.jpg"));
        return answerTimelapse(connection, frame);
    }
    if (const int answered = routeFile(connection, url); answered != kNoRoute) return answered;
    if (url == "/keogram.png" && shown_.keogram != nullptr) {
        auto latest = std::make_shared<std::string>(shown_.keogram->latest().second);
        if (latest->empty()) return send(connection, MHD_HTTP_NOT_FOUND, plain("no keogram yet"));
        auto* keep = new std::shared_ptr<std::string>(latest);
        MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
            latest->size(), latest->data(),
            [](void* kept) { delete static_cast<std::shared_ptr<std::string>*>(kept); }, keep);
        MHD_add_response_header(response, "Content-Type", "image/png");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }
    if (url == "/trail-time") return answerTime(connection);
    if ((url == "/segments.json" && shown_.segments != nullptr) ||
        (url == "/quality.json" && shown_.quality != nullptr)) {
        const std::string index =
            url == "/quality.json" ? shown_.quality->nightJson() : shown_.segments->indexJson();
        MHD_Response* response = MHD_create_response_from_buffer(
            index.size(), const_cast<char*>(index.data()), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, "Content-Type", "application/json");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }
    if (url == "/time-scale.png") {
        static const std::string scale = [] {
            std::vector<uchar> png;
            cv::imencode(".png", timeScale({256, 12}), png);
            return std::string(png.begin(), png.end());
        }();
        MHD_Response* response = MHD_create_response_from_buffer(
            scale.size(), const_cast<char*>(scale.data()), MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(response, "Content-Type", "image/png");
        return send(connection, MHD_HTTP_OK, response);
    }
    return send(connection, MHD_HTTP_NOT_FOUND, plain("not found"));
}

// A change, which only a page of this view may ask for: its Origin must be
// this very host.
int WebView::answerEdit(MHD_Connection* connection) {
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    if (host == nullptr || origin == nullptr || std::string(origin) != "http://" + std::string(host))
        return send(connection, MHD_HTTP_FORBIDDEN, plain("a change must come from this page"));
    // A page of any name that resolves here (DNS rebinding) sends its own
    // name as both: changes come only through a name given by --http-host,
    // a local name or an address.
    std::vector<std::string> named = address_.allowedHosts;
    if (named.empty()) named.emplace_back();  // no name at all passes: only local names and addresses
    if (*host == '\0' || !hostAllowed(host, false, named))
        return send(connection, MHD_HTTP_FORBIDDEN, plain("a change must come through a known host name"));
    const char* file = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "file");
    const char* excluded = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "excluded");
    if (shown_.segments == nullptr || file == nullptr || excluded == nullptr ||
        (std::string(excluded) != "1" && std::string(excluded) != "0") ||
        !shown_.segments->setExcluded(file, std::string(excluded) == "1"))
        return send(connection, MHD_HTTP_NOT_FOUND, plain("no such segment"));
    return send(connection, MHD_HTTP_ACCEPTED, plain("taken: the index and the star trail follow"));
}

int WebView::answerFile(MHD_Connection* connection, int fd, uint64_t size, const char* type) {
    if (fd < 0) return send(connection, MHD_HTTP_NOT_FOUND, plain("not found"));
    // Tagged by its size and time: a file rewritten (the keogram) has a new tag.
    struct stat info {};
    fstat(fd, &info);
    const std::string tag = "\"" + std::to_string(size) + "-" + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec) + "\"";
    if (const std::optional<MHD_Result> same = notModified(connection, tag)) {
        close(fd);
        return *same;
    }
    MHD_Response* response = MHD_create_response_from_fd64(size, fd);
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Cache-Control", "max-age=60");
    MHD_add_response_header(response, "ETag", tag.c_str());
    return send(connection, MHD_HTTP_OK, response);
}

int WebView::answerTimelapse(MHD_Connection* connection, std::optional<int64_t> frame) {
    const char* asked = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "night");
    const std::string night = asked != nullptr ? asked : current()->night;
    if (asked != nullptr && !isNightName(night))
        return send(connection, MHD_HTTP_BAD_REQUEST, plain("a night is YYYY-MM-DD"));
    // Looked for again after a while: a night's first image, or a restart's part.
    // Kept for 64 nights at most, forgotten before one is taken out of it.
    if (timelapseFound_.size() >= 64 && timelapseFound_.count(night) == 0) timelapseFound_.clear();
    auto& [when, base] = timelapseFound_[night];
    if (Clock::now() - when > std::chrono::seconds(10)) {
        when = Clock::now();
        base = night.empty() ? std::nullopt : timelapseOf(snapshots_.path(), night);
    }
    if (!base) return send(connection, MHD_HTTP_NOT_FOUND, plain("no timelapse that night"));
    const std::string path = snapshots_.path() + "/" + *base;
    uint64_t size = 0;
    const int indexFd = openOwnFile(path + ".json", size);
    const std::shared_ptr<const VideoFrames::Listing> listing = videoFrames_.listing(indexFd, *base);
    if (indexFd >= 0) close(indexFd);
    if (frame) {
        const int fd = openOwnFile(path + ".mkv", size);
        return answerFrame(connection, listing.get(), *frame, fd, size, *base);
    }
    if (!listing) return send(connection, MHD_HTTP_NOT_FOUND, plain("no index of that timelapse"));
    const StoredFrames& stored = listing->stored;
    return sendJson(connection, "{\"file\":" + jsonString(*base + ".mkv") + ",\"night\":\"" + night +
                                    "\",\"frames\":" + std::to_string(stored.frames.size()) +
                                    ",\"fps\":" + std::to_string(stored.fps > 0 ? stored.fps : 30) +
                                    ",\"times\":" + listing->times + "}");
}

int WebView::answerClipFrame(MHD_Connection* connection, const std::string& name, const std::string& rest) {
    if (!clipTimeOf(name + ".json")) return send(connection, MHD_HTTP_NOT_FOUND, plain("not found"));
    const std::optional<int64_t> frame = frameNumberOf(rest);
    if (!frame) return send(connection, MHD_HTTP_BAD_REQUEST, plain("a frame is /clips/NAME/N.jpg"));
    uint64_t size = 0;
    const int listingFd = shown_.events->openToServe(name + ".json", size);
    const std::shared_ptr<const VideoFrames::Listing> listing = videoFrames_.listing(listingFd, name);
    if (listingFd >= 0) close(listingFd);
    const int fd = shown_.events->openToServe(name + ".avi", size);  // before its size is read
    return answerFrame(connection, listing.get(), *frame, fd, size, name);
}

// Stored images never change: the client keeps them.
int WebView::answerFrame(MHD_Connection* connection, const VideoFrames::Listing* listing, int64_t frame,
                         int fd, uint64_t size, const std::string& tag) {
    // A listing's places are non-negative and do not overflow: compared with
    // the file's size without adding them.
    const auto inFile = [&](const StoredFrames::Place& place) {
        return static_cast<uint64_t>(place.size) <= size &&
               static_cast<uint64_t>(place.offset) <= size - static_cast<uint64_t>(place.size);
    };
    if (fd < 0 || listing == nullptr || frame < 0 ||
        frame >= static_cast<int64_t>(listing->stored.frames.size()) ||
        !inFile(listing->stored.frames[frame])) {
        if (fd >= 0) close(fd);
        return send(connection, MHD_HTTP_NOT_FOUND, plain("no such frame"));
    }
    const StoredFrames::Place& place = listing->stored.frames[frame];
    const std::string etag =
        "\"" + tag + "-" + std::to_string(frame) + "-" + std::to_string(place.offset) + "\"";
    if (const std::optional<MHD_Result> same = notModified(connection, etag)) {
        close(fd);
        return *same;
    }
    MHD_Response* response = MHD_create_response_from_fd_at_offset64(place.size, fd, place.offset);
    MHD_add_response_header(response, "Content-Type", "image/jpeg");
    MHD_add_response_header(response, "Cache-Control", "public, max-age=31536000, immutable");
    MHD_add_response_header(response, "ETag", etag.c_str());
    return send(connection, MHD_HTTP_OK, response);
}

// The time at which the trail shown last rose at x, y (of the trail image).
int WebView::answerTime(MHD_Connection* connection) {
    const std::shared_ptr<const Published> published = current();
    const cv::Mat& times = published->timeMap;
    const char* xText = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "x");
    const char* yText = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "y");
    char* end = nullptr;
    const long x = xText != nullptr ? std::strtol(xText, &end, 10) : -1;
    const long y = yText != nullptr && end != nullptr && *end == '\0' ? std::strtol(yText, &end, 10) : -1;
    if (times.empty() || end == nullptr || *end != '\0' || x < 0 || y < 0 || x >= times.cols ||
        y >= times.rows)
        return send(connection, MHD_HTTP_NOT_FOUND, plain("no time there"));
    const float seconds = times.at<float>(static_cast<int>(y), static_cast<int>(x));
    const std::string body =
        seconds > 0
            ? "{\"seconds\":" + cv::format("%.3f", seconds) + ",\"time\":\"" +
                  utcTimeMillis(published->timeMapStart + static_cast<int64_t>(std::lround(seconds * 1000))) +
                  "\"}"
            : std::string("{\"seconds\":0,\"time\":null}");
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}
