#include "views/LiveFiles.h"

#include "platform/Clocks.h"
#include "snapshots/SnapshotFolder.h"

#include <opencv2/imgcodecs.hpp>

#include <ctime>

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string utcTime(int64_t unixSeconds) {
    const auto seconds = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return time;
}

std::string statusJson(const TickStatus& s, const std::string& device, int64_t unixMillis) {
    char fields[256];
    std::snprintf(
        fields, sizeof fields,
        "\"freq\":%d,\"frameCounter\":%d,\"diff\":%d,\"trackCounter\":%d,\"save\":%d,\"saveTimeout\":%d",
        s.freq, s.frameCounter, s.diff, s.trackCounter, s.save ? 1 : 0, s.saveTimeout);
    return std::string("{") + fields + ",\"device\":" + jsonString(device) + ",\"time\":\"" +
           utcTime(unixMillis / 1000) + "\"}\n";
}

void LiveFiles::onTick(const TickStatus& status, const cv::Mat& frame, const cv::Mat& trail) {
    std::string failure;
    for (const auto& [name, image] : {std::pair{"frame.jpg", &frame}, {"trail.jpg", &trail}}) {
        std::vector<uchar> bytes;
        if (!cv::imencode(".jpg", *image, bytes)) continue;
        const std::string f = writeFileAtomically(folder_ + "/" + name, bytes, false);
        if (failure.empty()) failure = f;
    }
    const std::string json = statusJson(status, device_, millis());
    const std::string f = writeFileAtomically(folder_ + "/status.json", {json.begin(), json.end()}, false);
    report(failure.empty() ? f : failure);
}

// A failing live folder is said once, not once a second; and when it recovers.
void LiveFiles::report(const std::string& failure) {
    if (failure == lastFailure_) return;
    if (failure.empty())
        std::fprintf(err_, "live files in %s are written again\n", folder_.c_str());
    else
        std::fprintf(err_, "cannot write live files in %s: %s\n", folder_.c_str(), failure.c_str());
    std::fflush(err_);
    lastFailure_ = failure;
}
