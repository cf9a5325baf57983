#include "views/LiveFiles.h"

#include "core/Json.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>

LiveFiles::LiveFiles(std::string folder, std::string source, FILE* err, std::function<std::string()> more)
    : folder_(std::move(folder)),
      source_(std::move(source)),
      more_(std::move(more)),
      said_(err),
      writer_({"trailcam-live", WhenFull::keepNewest, 1, lowerThisThreadsPriority},
              [this](Written& tick) { write(tick); }) {
    // What an interrupted write left, but not what another run is writing now.
    removeLeftoverTemporaries(folder_, 60);
}

void LiveFiles::ticked(const Tick& tick) {
    lastTick_ = Written{tick.status, tick.pictures(), tick.frame.millis, more_ ? more_() : std::string()};
    writer_.hand(Written(*lastTick_));
}

void LiveFiles::exposing(const Exposure& exposure) {
    if (!lastTick_) return;
    Written now = *lastTick_;
    now.more = "\"exposure\":" + exposureJson(exposure) + (now.more.empty() ? "" : "," + now.more);
    writer_.hand(std::move(now));
}

std::string liveStatusJson(const TickStatus& status, const std::string& source, int64_t millis,
                           const std::string& more) {
    return "{" + statusJsonMembers(status) + ",\"device\":" + jsonString(source) + ",\"time\":\"" +
           utcTime(millis / 1000) + "\"" + (more.empty() ? "" : "," + more) + "}\n";
}

void LiveFiles::write(Written& tick) {
    Result<> failed;
    // A tick's pictures are written once; status.json may change between ticks.
    const bool pictures = tick.pictures != picturesWritten_;
    for (const auto& [name, bytes] :
         {std::pair{"frame.jpg", tick.pictures->frameJpeg()}, {"trail.jpg", tick.pictures->trailJpeg()}}) {
        if (!pictures || bytes->empty()) continue;
        const Result<> written = writeFileAtomically(folder_ + "/" + name, *bytes, false);
        if (failed && !written) failed = written;
    }
    if (failed) picturesWritten_ = tick.pictures;
    const std::string json = liveStatusJson(tick.status, source_, tick.millis, tick.more);
    const Result<> written = writeFileAtomically(folder_ + "/status.json", {json.begin(), json.end()}, false);
    if (failed && !written) failed = written;
    // A failing folder is said once, not once a second; and when it recovers.
    if (!failed)
        said_.say("cannot write live files in " + folder_ + ": " + failed.reason());
    else if (!said_.silent())
        said_.say("live files in " + folder_ + " are written again");
}
