#pragma once

#include "core/SayOnce.h"
#include "core/TrailEvents.h"
#include "core/Worker.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// At each info tick, replaces frame.jpg, trail.jpg and status.json in a
// folder, each atomically, for a web server, a script or a phone app. The
// encoding and writing happen on a thread of their own; a tick that comes
// while the previous one is still being written replaces the one waiting.
class LiveFiles : public TrailListener {
public:
    // source: the camera, stream or recording, as status.json names it.
    // more (may be null) gives more members for status.json at each tick.
    LiveFiles(std::string folder, std::string source, FILE* err, std::function<std::string()> more = nullptr);
    void ticked(const Tick& tick) override;
    // status.json again, with the exposure in progress.
    void exposing(const Exposure& exposure) override;

private:
    struct Written {
        TickStatus status;
        std::shared_ptr<const TickPictures> pictures;
        int64_t millis = 0;
        std::string more;
    };
    void write(Written& tick);

    std::optional<Written> lastTick_;
    std::shared_ptr<const TickPictures> picturesWritten_;  // on the writer's thread
    std::string folder_;
    std::string source_;
    std::function<std::string()> more_;
    SayOnce said_;
    Worker<Written> writer_;  // last: its thread uses the members above
};

// The live status.json: the status fields, the source and the tick's time.
std::string liveStatusJson(const TickStatus& status, const std::string& source, int64_t millis,
                           const std::string& more = "");
