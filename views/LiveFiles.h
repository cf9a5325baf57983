#pragma once

#include "core/Devices.h"

#include <string>

// At each info tick, replaces frame.jpg, trail.jpg and status.json in a
// folder, each atomically, for a web server, a script or a phone app.
class LiveFiles : public TickObserver {
public:
    LiveFiles(std::string folder, std::string device, FILE* err)
        : folder_(std::move(folder)), device_(std::move(device)), err_(err) {}
    void onTick(const TickStatus& status, const cv::Mat& frame, const cv::Mat& trail) override;

private:
    void report(const std::string& failure);
    std::string folder_;
    std::string device_;
    FILE* err_;
    std::string lastFailure_;
};

// A JSON string literal of text.
std::string jsonString(const std::string& text);

// "2026-12-07T18:00:00Z"
std::string utcTime(int64_t unixSeconds);

// The status as one JSON object, fields under their status-line names.
std::string statusJson(const TickStatus& status, const std::string& device, int64_t unixMillis);
