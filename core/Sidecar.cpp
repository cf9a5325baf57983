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
        case SnapshotReason::sceneChange:
            return "scene change";
        case SnapshotReason::dawn:
            return "dawn";
        case SnapshotReason::endOfInput:
            break;
    }
    return "end of input";
}

namespace {

// With flashes kept out: how many, and when.
std::string rejectedMembers(const TrailSpan& span) {
    if (!span.rejected) return "";
    std::string spans;
    for (const auto& [first, last] : span.rejected->spans)
        spans +=
            (spans.empty() ? "[\"" : ",[\"") + utcTimeMillis(first) + "\",\"" + utcTimeMillis(last) + "\"]";
    return ",\"rejected\":" + std::to_string(span.rejected->images) + ",\"rejected_spans\":[" + spans + "]";
}

}  // namespace

std::string sidecarJson(const SnapshotDue& due, const std::string& source, const std::string& version,
                        const std::string& members) {
    const TrailSpan& span = due.span;
    return "{\"number\":" + std::to_string(due.number) + ",\"start\":\"" + utcTimeMillis(span.startMillis) +
           "\",\"end\":\"" + utcTimeMillis(span.endMillis) + "\",\"images\":" + std::to_string(span.images) +
           ",\"armed\":" +
           (span.armed ? "\"" + utcTimeMillis(span.armedMillis) + "\"" : std::string("null")) +
           ",\"armed_diff\":" + (span.armed ? std::to_string(span.armedDiff) : std::string("null")) +
           ",\"reason\":\"" + reasonName(due.reason) + "\",\"source\":" + jsonString(source) +
           ",\"width\":" + std::to_string(due.trail.cols) + ",\"height\":" + std::to_string(due.trail.rows) +
           rejectedMembers(span) + (members.empty() ? "" : "," + members) +
           ",\"version\":" + jsonString(version) + "}\n";
}
