#pragma once

#include "core/LatestOnly.h"
#include "core/SayOnce.h"
#include "core/TrailEvents.h"

#include <cstdio>
#include <string>

// At each info tick, replaces frame.jpg, trail.jpg and status.json in a
// folder, each atomically, for a web server, a script or a phone app. The
// encoding and writing happen on a thread of their own; a tick that comes
// while the previous one is still being written replaces the one waiting.
class LiveFiles : public TrailListener {
public:
    // source: the camera, stream or recording, as status.json names it.
    LiveFiles(std::string folder, std::string source, FILE* err);
    void ticked(const Tick& tick) override;

private:
    struct Written {
        TickStatus status;
        cv::Mat frame;
        cv::Mat trail;
        int64_t millis;
    };
    void write(Written& tick);

    std::string folder_;
    std::string source_;
    SayOnce said_;
    LatestOnly<Written> writer_;  // last: its thread uses the members above
};

// The live status.json: the status fields, the source and the tick's time.
std::string liveStatusJson(const TickStatus& status, const std::string& source, int64_t millis);
