#include "core/Sidecar.h"

#include "core/Json.h"

const char* reasonName(SnapshotReason reason) {
    switch (reason) {
        case SnapshotReason::countdown:
            return "countdown";
        case SnapshotReason::modeChange:
            return "mode change";
        case SnapshotReason::exit:
            return "exit";
        case SnapshotReason::endOfInput:
            break;
    }
    return "end of input";
}

std::string sidecarJson(const SnapshotDue& due, const std::string& source, const std::string& version) {
    const TrailSpan& span = due.span;
    return "{\"number\":" + std::to_string(due.number) + ",\"start\":\"" + utcTimeMillis(span.startMillis) +
           "\",\"end\":\"" + utcTimeMillis(span.endMillis) + "\",\"images\":" + std::to_string(span.images) +
           ",\"armed\":" +
           (span.armed ? "\"" + utcTimeMillis(span.armedMillis) + "\"" : std::string("null")) +
           ",\"armed_diff\":" + (span.armed ? std::to_string(span.armedDiff) : std::string("null")) +
           ",\"reason\":\"" + reasonName(due.reason) + "\",\"source\":" + jsonString(source) +
           ",\"width\":" + std::to_string(due.trail.cols) + ",\"height\":" + std::to_string(due.trail.rows) +
           ",\"version\":" + jsonString(version) + "}\n";
}
