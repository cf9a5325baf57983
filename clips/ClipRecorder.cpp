#include "clips/ClipRecorder.h"

#include "core/EightBits.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/StoredFrames.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kEventsKept = 200;
constexpr size_t kMissingKept = 100000;
constexpr int kThumbnailWidth = 160;
// A later event's clip starts at most this long before its tick, less the
// time before: a clip waits that long past its end before it is closed.
constexpr int64_t kTickMillis = 1500;
// The images whose times give the rate a clip declares.
constexpr size_t kRateImages = 32;

cv::Rect grownBox(const cv::Mat& before, const cv::Mat& now) {
    if (before.size() != now.size() || before.type() != now.type()) return {0, 0, now.cols, now.rows};
    cv::Mat first, previous, grown;
    cv::extractChannel(now, first, 0);
    cv::extractChannel(before, previous, 0);
    cv::compare(first, previous, grown, cv::CMP_GT);
    return cv::boundingRect(grown);
}

}  // namespace

ClipRecorder::ClipRecorder(ClipSettings settings, FILE* err)
    : settings_(std::move(settings)),
      err_(err),
      said_(err),
      worker_({"trailcam-clips", settings_.waitForEncoder ? WhenFull::wait : WhenFull::leaveOut, 1,
               [this] {
                   lowerThisThreadsPriority();
                   removeLeftoverTemporaries(settings_.folder, 60);
               },
               [this] {
                   if (clip_) finishClip();
               }},
              [this](Work& work) { process(work); }) {}

ClipRecorder::~ClipRecorder() { ended(); }

void ClipRecorder::framed(const Frame& frame) {
    if (ended_) return;
    recentTimes_.push_back(frame.millis);
    if (recentTimes_.size() > kRateImages) recentTimes_.pop_front();
    const int64_t span = recentTimes_.back() - recentTimes_.front();
    fps_ = 0;  // not known from one image
    if (span > 0)
        fps_ = std::clamp(static_cast<int>(std::lround(static_cast<double>(recentTimes_.size() - 1) * 1000.0 /
                                                       static_cast<double>(span))),
                          1, 1000);
    // A few images wait, within a quarter of the memory.
    const cv::Mat& own = frame.cameraImage();
    const size_t frameBytes = std::max<size_t>(1, own.total() * own.elemSize());
    const size_t capacity =
        std::clamp<size_t>(static_cast<size_t>(settings_.memoryBytes) / 4 / frameBytes, 1, 4);
    if (capacity != capacity_) worker_.setCapacity(capacity_ = capacity);
    // The source's own JPEG when it sent one: nothing to encode.
    Raw raw{frame.jpeg ? cv::Mat() : shown(own, settings_.stretch).clone(), frame.millis, fps_, frame.jpeg,
            own.size()};
    if ((!settings_.waitForEncoder && !worker_.hasRoom()) || !worker_.hand({std::nullopt, std::move(raw)})) {
        const std::lock_guard<std::mutex> lock(mutex_);
        missing(frame.millis, "images come faster than they can be encoded");
    }
}

void ClipRecorder::ticked(const Tick& tick) {
    const int64_t from = previousTick_ == INT64_MIN ? tick.frame.millis - 1000 : previousTick_;
    previousTick_ = tick.frame.millis;
    if (tick.status.diff > settings_.eventDiff) {
        const Event event{from, tick.frame.millis, tick.status.diff, grownBox(previousTrail_, tick.trail),
                          fps_ > 0 ? fps_ : 30};
        // The trail where it grew: what the event left, not the sky around it.
        cv::Rect around = thumbnailBox(event.box, tick.trail.size());
        if (around.empty()) around = {0, 0, tick.trail.cols, tick.trail.rows};
        cv::Mat small = shown(tick.trail(around), settings_.stretch);
        if (small.cols > kThumbnailWidth)
            cv::resize(small, small,
                       {kThumbnailWidth, std::max(1, small.rows * kThumbnailWidth / small.cols)}, 0, 0,
                       cv::INTER_AREA);
        std::vector<uchar> thumbnail;
        cv::imencode(".jpg", small, thumbnail);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_front({event.millis, event.diff, event.box, {thumbnail.begin(), thumbnail.end()}, ""});
            if (seen_.size() > kEventsKept) seen_.pop_back();
        }
        worker_.hand({event, {}}, false);  // an event is never left out
    }
    tick.trail.copyTo(previousTrail_);
}

void ClipRecorder::meteorDetected(const Meteor& meteor) {
    if (ended_) return;
    worker_.hand({Event{meteor.startMillis, meteor.endMillis, 0, meteor.box, fps_ > 0 ? fps_ : 30}, {}},
                 false);
}

void ClipRecorder::ended() {
    ended_ = true;
    worker_.finish();
}

std::vector<EventSeen> ClipRecorder::events() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {seen_.begin(), seen_.end()};
}

int ClipRecorder::openToServe(const std::string& name, uint64_t& size) const {
    return clipTimeOf(name) ? openOwnFile(settings_.folder + "/" + name, size) : -1;
}

// Said once for each reason; counted for the clip that should have held it.
void ClipRecorder::missing(int64_t millis, const char* why) {
    missing_.push_back(millis);
    if (missing_.size() > kMissingKept) missing_.pop_front();
    said_.say(std::string("clips: ") + why + "; the clips count what is missing");
}

// On the clip thread, in the order they came: an event, or an image to encode.
void ClipRecorder::process(Work& work) {
    if (work.event) return take(*work.event);
    const Raw& raw = work.raw;
    if (raw.jpeg) return take(Encoded{raw.jpeg, raw.millis, raw.size, raw.fps});
    std::vector<uchar> jpeg;
    if (cv::imencode(".jpg", raw.image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90}))
        take(Encoded{std::make_shared<const std::vector<uchar>>(std::move(jpeg)), raw.millis, raw.size,
                     raw.fps});
}

// Events whose clips would overlap or touch make one clip.
void ClipRecorder::take(const Event& event) {
    const auto before = static_cast<int64_t>(settings_.beforeSeconds * 1000);
    const auto after = static_cast<int64_t>(settings_.afterSeconds * 1000);
    const int64_t start = event.from - before, end = event.millis + after;
    if (clip_ && start <= clip_->end + 1000 / event.fps) {
        clip_->end = std::max(clip_->end, end);
        clip_->events.push_back(event);
        if (!ring_.empty()) writeUpTo(ring_.back().millis);
        return;
    }
    if (clip_) finishClip();
    clip_.emplace();
    clip_->start = start;
    clip_->end = end;
    clip_->events.push_back(event);
    if (!ring_.empty()) writeUpTo(ring_.back().millis);
}

void ClipRecorder::take(Encoded image) {
    const int64_t now = image.millis;
    ringBytes_ += static_cast<int64_t>(image.jpeg->size());
    ring_.push_back(std::move(image));
    if (clip_ && now <= clip_->end) writeUpTo(now);
    // The ring keeps, within its bytes, what a later event's clip may start
    // with; what the clip in progress took already is not needed again.
    const int64_t keep =
        now - static_cast<int64_t>((settings_.beforeSeconds + settings_.lateSeconds) * 1000) - kTickMillis;
    while (ring_.size() > 1) {
        const Encoded& oldest = ring_.front();
        const bool written = clip_ && oldest.millis <= clip_->lastWritten;
        const bool needed = !written && (oldest.millis >= keep || (clip_ && oldest.millis >= clip_->start));
        if (needed && ringBytes_ <= settings_.memoryBytes) break;
        if (needed) {
            const std::lock_guard<std::mutex> lock(mutex_);
            missing(oldest.millis, "--clip-memory is too small to keep the seconds before an event");
        }
        ringBytes_ -= static_cast<int64_t>(oldest.jpeg->size());
        ring_.pop_front();
    }
    if (clip_ && now > clip_->end +
                           static_cast<int64_t>((settings_.beforeSeconds + settings_.lateSeconds) * 1000) +
                           kTickMillis)
        finishClip();
}

// Writes the ring's images of the clip not written yet, up to `millis`.
// A clip waits for its second image when the rate is not known before it,
// unless it is the last.
void ClipRecorder::writeUpTo(int64_t millis, bool last) {
    const auto longest = static_cast<int64_t>(settings_.maxSeconds * 1000);
    for (auto it = ring_.begin(); it != ring_.end(); ++it) {
        const Encoded& image = *it;
        if (clip_->failed) return;
        if (image.millis <= clip_->lastWritten || image.millis < clip_->start) continue;
        if (image.millis > std::min(millis, clip_->end)) break;
        // A camera that changed mode, or a clip long enough: the event goes
        // on in the next clip, from this image.
        if (!clip_->times.empty() &&
            (image.size != clip_->size || image.millis - clip_->times.front() >= longest))
            goOnInNextClip(image.millis);
        Clip& clip = *clip_;
        if (clip.name.empty()) {
            clip.name = clipName(image.millis);
            clip.size = image.size;
            std::error_code error;
            std::filesystem::create_directories(settings_.folder, error);
            int fps = image.fps;
            if (fps == 0) {
                const auto next = std::next(it);
                if (next == ring_.end() && !last) {
                    clip.name.clear();
                    return;
                }
                fps = next != ring_.end() && next->fps > 0 ? next->fps : 30;
            }
            clip.partial =
                temporaryPathOf(settings_.folder + "/" + clip.name + "-" + std::to_string(getpid()) + ".avi");
            const Result<> opened = clip.video.open(clip.partial, clip.size, fps);
            if (!opened) return abandonClip(opened.reason());
        }
        if (const Result<> added = clip.video.add(*image.jpeg); !added) return abandonClip(added.reason());
        clip.times.push_back(image.millis);
        clip.lastWritten = image.millis;
    }
}

// Finishes the clip before `millis` and starts the next at it, with the
// events from then on.
void ClipRecorder::goOnInNextClip(int64_t millis) {
    Clip& clip = *clip_;
    const int64_t end = clip.end, lastWritten = clip.lastWritten;
    const auto later = std::stable_partition(clip.events.begin(), clip.events.end(),
                                             [millis](const Event& event) { return event.millis < millis; });
    std::vector<Event> events(later, clip.events.end());
    clip.events.erase(later, clip.events.end());
    clip.end = millis - 1;
    finishClip();
    clip_.emplace();
    clip_->start = millis;
    clip_->end = end;
    clip_->lastWritten = lastWritten;
    clip_->events = std::move(events);
}

void ClipRecorder::abandonClip(const std::string& why) {
    clip_->failed = true;
    clip_->video.drop();
    lose(*clip_, why);
}

// A clip that cannot be written: its hidden file goes, and it is said.
void ClipRecorder::lose(const Clip& clip, const std::string& why) {
    std::remove(clip.partial.c_str());
    std::fprintf(err_, "cannot write clip %s/%s.avi: %s\n", settings_.folder.c_str(), clip.name.c_str(),
                 why.c_str());
    std::fflush(err_);
}

void ClipRecorder::finishClip() {
    if (clip_->times.empty() && !ring_.empty()) writeUpTo(ring_.back().millis, true);
    writeClip(*clip_);
    clip_.reset();
}

void ClipRecorder::writeClip(Clip& clip) {
    if (clip.failed || clip.times.empty()) return;
    if (const Result<> closed = clip.video.close(); !closed) return lose(clip, closed.reason());
    cv::Rect box;
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    for (const Event& event : clip.events) {
        box = box.area() == 0 ? event.box : (box | event.box);
        events.push_back({{"time", utcTimeMillis(event.millis)}, {"diff", event.diff}});
    }
    int64_t gaps = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        gaps = std::count_if(missing_.begin(), missing_.end(),
                             [&clip](int64_t t) { return t >= clip.start && t <= clip.end; });
    }
    StoredFrames stored{clip.times, {}};
    for (const MjpegVideo::Stored& place : clip.video.stored())
        stored.frames.push_back({place.offset, place.size});
    nlohmann::ordered_json json;
    putStoredFrames(json, stored);
    json["events"] = events;
    json["box"] = {box.x, box.y, box.width, box.height};
    json["gaps"] = gaps;
    const Result<std::string> placed = placeClip(clip, json.dump() + "\n");
    if (!placed) return lose(clip, placed.reason());
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (EventSeen& seen : seen_)
            for (const Event& event : clip.events)
                if (seen.millis == event.millis) seen.clip = *placed;
    }
    if (announcements_ != nullptr)
        announcements_->clipWritten({*placed, clip.times.front(), clip.times.back(), clip.times.size()});
}

// Puts the clip's JSON, then its video, under the first name of its time
// that neither takes: a clip never replaces another, nor is there without
// its JSON. The name it got.
Result<std::string> ClipRecorder::placeClip(Clip& clip, const std::string& json) {
    const std::vector<uchar> bytes(json.begin(), json.end());
    for (int n = 1;; ++n) {
        const std::string name = clip.name + (n == 1 ? "" : "-" + std::to_string(n));
        const std::string base = settings_.folder + "/" + name;
        struct stat info {};
        if (lstat((base + ".avi").c_str(), &info) == 0) continue;
        const Result<bool> described = writeFileIfNew(base + ".json", bytes);
        if (!described) return Failure{described.reason()};
        if (!*described) continue;
        const Result<bool> renamed = renameWithoutReplacing(clip.partial, base + ".avi");
        if (renamed && *renamed) return name;
        std::remove((base + ".json").c_str());
        if (!renamed) return Failure{renamed.reason()};
    }
}
