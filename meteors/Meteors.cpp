#include "meteors/Meteors.h"

#include "core/EightBits.h"
#include "core/Json.h"
#include "core/Stretch.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace {

// The images whose times give their rate.
constexpr size_t kRateImages = 16;

// How far a streak stands above the trail beside it (8-bit levels): the
// brightest tenth of the trail along its line against the median a few
// pixels to either side.
int peakOf(const cv::Mat& trail, const Meteor& meteor) {
    const cv::Point2d from(meteor.from), to(meteor.to);
    const double length = cv::norm(to - from);
    if (trail.empty() || length < 1) return 0;
    const cv::Point2d along = (to - from) / length, across(-along.y, along.x);
    const auto level = [&trail](cv::Point2d p) -> std::optional<int> {
        const cv::Point at(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
        if (!cv::Rect(0, 0, trail.cols, trail.rows).contains(at)) return std::nullopt;
        int brightest = 0;
        for (int c = 0; c < trail.channels(); ++c)
            brightest = std::max(brightest, trail.depth() == CV_16U
                                                ? trail.ptr<uint16_t>(at.y)[at.x * trail.channels() + c] >> 8
                                                : trail.ptr<uint8_t>(at.y)[at.x * trail.channels() + c]);
        return brightest;
    };
    std::vector<int> on, beside;
    for (double d = 0; d <= length; d += 1) {
        if (const auto v = level(from + along * d)) on.push_back(*v);
        for (const double side : {-6.0, 6.0})
            if (const auto v = level(from + along * d + across * side)) beside.push_back(*v);
    }
    if (on.empty() || beside.empty()) return 0;
    std::nth_element(on.begin(), on.begin() + static_cast<std::ptrdiff_t>(on.size() * 9 / 10), on.end());
    std::nth_element(beside.begin(), beside.begin() + static_cast<std::ptrdiff_t>(beside.size() / 2),
                     beside.end());
    return std::max(0, on[on.size() * 9 / 10] - beside[beside.size() / 2]);
}

}  // namespace

Meteors::Meteors(const MeteorSettings& settings, const std::string& folder, FILE* err)
    : settings_(settings),
      err_(err),
      detector_(settings.rules),
      log_(folder, err),
      writer_(
          {"trailcam-meteor", WhenFull::wait, 16, [] { lowerThisThreadsPriority(); }},
          [err](std::pair<std::string, std::string>& file) {
              const std::string& text = file.second;
              if (const Result<> written = writeFileAtomically(file.first, {text.begin(), text.end()}, true);
                  !written)
                  std::fprintf(err, "meteors: cannot write %s: %s\n", file.first.c_str(),
                               written.reason().c_str());
          }) {}

// The file is written until the end: clips finished at the run's end name theirs.
Meteors::~Meteors() {
    ended();
    writer_.finish();
}

void Meteors::framed(const Frame& frame) {
    recentTimes_.push_back(frame.millis);
    if (recentTimes_.size() > kRateImages) recentTimes_.pop_front();
    lastMillis_ = frame.millis;
}

// Milliseconds between images, as their times tell (25 a second before they do).
double Meteors::period() const {
    std::vector<int64_t> steps;
    for (size_t i = 1; i < recentTimes_.size(); ++i)
        if (recentTimes_[i] > recentTimes_[i - 1]) steps.push_back(recentTimes_[i] - recentTimes_[i - 1]);
    if (steps.empty()) return 40;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2),
                     steps.end());
    return static_cast<double>(steps[steps.size() / 2]);
}

void Meteors::ticked(const Tick& tick) {
    if (ended_ || tick.trail.empty() || tick.timeMap.empty()) return;
    bool streaks = true;
    if (tick.stamped != nullptr) {
        // The loop listed the pixels that rose by more than the margin in
        // one image: a flash when there were too many.
        streaks = !tick.stamped->full && risenOf(tick);
    } else {
        // A time map of every rise (--time-map): the pixels that rose by
        // more than the margin since the last tick, against a copy of the
        // trail then. More than a twentieth of the picture at once is a
        // flash or a changed scene, whose pixels are no streaks.
        const size_t limit = std::max<size_t>(2000, tick.trail.total() / 20);
        // Pixels rose since the images the last tick saw.
        const int64_t since = std::exchange(sinceMillis_, lastMillis_ + 1);
        streaks = collectRisen(tick.trail, previous_, tick.timeMap, tick.span.startMillis, since,
                               settings_.rules.margin, limit, risen_);
    }
    found(streaks ? detector_.tick(risen_, lastMillis_, period()) : detector_.skip(period()), &tick);
}

// The pixels the loop listed, once each, in raster order, with their times.
bool Meteors::risenOf(const Tick& tick) {
    std::vector<uint32_t> pixels = tick.stamped->list;
    std::sort(pixels.begin(), pixels.end());
    pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
    risen_.clear();
    const auto cols = static_cast<uint32_t>(tick.trail.cols);
    for (const uint32_t pixel : pixels) {
        const int x = static_cast<int>(pixel % cols), y = static_cast<int>(pixel / cols);
        risen_.push_back(
            {x, y,
             tick.span.startMillis + std::llround(static_cast<double>(tick.timeMap.at<float>(y, x)) * 1000.0),
             0});
    }
    return true;
}

void Meteors::ended() {
    if (ended_) return;
    ended_ = true;
    found(detector_.finish(period()), nullptr);
}

void Meteors::found(std::vector<Meteor> meteors, const Tick* tick) {
    if (tick != nullptr) lastTrail_ = tick->trail;  // the loop's; read only once it ended
    const cv::Mat& trail = lastTrail_;
    for (Meteor& meteor : meteors) {
        meteor.box =
            thumbnailBox(cv::boundingRect(std::vector<cv::Point2f>{meteor.from, meteor.to}), trail.size());
        if (meteor.peak == 0) meteor.peak = peakOf(trail, meteor);
        std::vector<uchar> jpeg;
        if (!meteor.box.empty() &&
            cv::imencode(".jpg", shown(trail(meteor.box), tick != nullptr ? tick->stretch : Stretch::linear),
                         jpeg))
            meteor.thumbnail = std::make_shared<const std::vector<uchar>>(std::move(jpeg));
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            writer_.hand(log_.add(meteor));
        }
        std::fprintf(
            err_,
            "meteor at %s: from (%.1f, %.1f) to (%.1f, %.1f), %d images, %.0f px at %.0f px/s, peak %d\n",
            utcTimeMillis(meteor.startMillis).c_str(), meteor.from.x, meteor.from.y, meteor.to.x, meteor.to.y,
            meteor.frames, meteor.length, meteor.speed, meteor.peak);
        std::fflush(err_);
        if (announcements_ != nullptr) announcements_->meteorDetected(meteor);
    }
}

void Meteors::clipWritten(const ClipWritten& clip) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (auto file = log_.clipped(clip.name, clip.firstMillis, clip.lastMillis))
        writer_.hand(std::move(*file));
}

std::string Meteors::sidecarMembers(const SnapshotDue& due) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return "\"meteors\":" + std::to_string(log_.between(due.span.startMillis, due.span.endMillis + 1));
}

std::vector<Meteor> Meteors::night() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return log_.meteors();
}

std::unique_ptr<Meteors> makeMeteors(const MeteorSettings& settings, const std::string& folder, FILE* err) {
    if (!settings.enabled) return nullptr;
    return std::make_unique<Meteors>(settings, folder, err);
}
