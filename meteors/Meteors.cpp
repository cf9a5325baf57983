#include "meteors/Meteors.h"

#include "core/EightBits.h"
#include "core/Json.h"
#include "core/Stretch.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

// The images whose times give their rate.
constexpr size_t kRateImages = 16;
// Pixels of the trail around a streak in its thumbnail.
constexpr int kThumbnailMargin = 16;

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
    // More than a twentieth of the picture rising at once is a flash or a
    // changed scene, whose pixels are no streaks.
    const size_t limit = std::max<size_t>(2000, tick.trail.total() / 20);
    const bool streaks = collectRisen(tick.trail, previous_, tick.timeMap, tick.span.startMillis,
                                      settings_.rules.margin, limit, risen_);
    found(streaks ? detector_.tick(risen_, lastMillis_, period()) : detector_.skip(period()), &tick);
}

void Meteors::ended() {
    if (ended_) return;
    ended_ = true;
    found(detector_.finish(period()), nullptr);
}

void Meteors::found(std::vector<Meteor> meteors, const Tick* tick) {
    const cv::Mat& trail = tick != nullptr ? tick->trail : previous_;
    for (Meteor& meteor : meteors) {
        cv::Rect box = cv::boundingRect(std::vector<cv::Point2f>{meteor.from, meteor.to});
        box.x -= kThumbnailMargin, box.y -= kThumbnailMargin;
        box.width += 2 * kThumbnailMargin, box.height += 2 * kThumbnailMargin;
        meteor.box = box & cv::Rect(0, 0, trail.cols, trail.rows);
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
