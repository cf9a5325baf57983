#include "core/TrailEvents.h"

namespace {

// The six fields, their names and their order: written here only.
template <typename Each>
void forEachField(const TickStatus& s, Each each) {
    each("freq", s.freq);
    each("frameCounter", s.frameCounter);
    each("diff", s.diff);
    each("trackCounter", s.trackCounter);
    each("save", s.save ? 1 : 0);
    each("saveTimeout", s.saveTimeout);
}

}  // namespace

std::string statusLine(const TickStatus& status) {
    std::string line;
    forEachField(status, [&line](const char* name, int32_t value) {
        line += (line.empty() ? "" : "  ") + std::string(name) + "=" + std::to_string(value);
    });
    return line;
}

std::string statusJsonMembers(const TickStatus& status) {
    std::string members;
    forEachField(status, [&members](const char* name, int32_t value) {
        members += (members.empty() ? "\"" : ",\"") + std::string(name) + "\":" + std::to_string(value);
    });
    if (status.rejected) members += ",\"rejected\":" + std::to_string(*status.rejected);
    return members;
}

std::string exposureJson(const Exposure& exposure) {
    return cv::format("{\"seconds\":%g,\"secondsLeft\":%.1f}", exposure.seconds, exposure.secondsLeft());
}

std::shared_ptr<const TickPictures> Tick::pictures() const {
    if (!madePictures) madePictures = std::make_shared<const TickPictures>(frame, trail, stretch);
    return madePictures;
}

cv::Rect thumbnailBox(const cv::Rect& grown, cv::Size image) {
    return cv::Rect(grown.x - kThumbnailMargin, grown.y - kThumbnailMargin,
                    grown.width + 2 * kThumbnailMargin, grown.height + 2 * kThumbnailMargin) &
           cv::Rect(0, 0, image.width, image.height);
}
