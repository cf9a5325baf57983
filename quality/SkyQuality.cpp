#include "quality/SkyQuality.h"

#include "core/Json.h"
#include "core/Night.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr double kReferencePercentile = 0.9;
// A reference of fewer stars is none: a night overcast from dusk, or a lens
// cap, would read as clear against it.
constexpr double kLeastReferenceStars = 10;
constexpr size_t kKeptReadings = 100000;  // ten weeks of nights at one a minute

std::optional<double> median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

SkyQuality::SkyQuality(const QualitySettings& settings, CameraTells camera, FILE* err, bool replay)
    : settings_(settings),
      camera_(std::move(camera)),
      replay_(replay),
      said_(err),
      brightnessSaid_(err),
      worker_({"trailcam-sky", WhenFull::keepNewest, 1}, [this](Frame& frame) { measure(frame); }) {}

SkyQuality::~SkyQuality() { worker_.finish(); }

void SkyQuality::framed(const Frame& frame) {
    const auto period = static_cast<int64_t>(settings_.everySeconds * 1000);
    // Not due yet, unless the clock was set back by more than a period.
    if (frame.image.empty() || (frame.millis < nextMillis_ && nextMillis_ - frame.millis <= period)) return;
    nextMillis_ = frame.millis + period;
    Frame copy{frame.image.clone(), frame.millis};  // the image is the loop's until its next pass
    if (replay_)
        measure(copy);
    else
        worker_.hand(std::move(copy));
}

void SkyQuality::measure(Frame& frame) {
    const Result<SkyMeasurement> sky = measureSky(frame.image);
    if (!sky) {
        said_.say("sky quality: an image SEP could not measure (" + sky.reason() + "): skipped");
        return;
    }
    SkyQualityReading reading{frame.millis, *sky, std::nullopt, brightness(sky->background)};
    const std::string night = nightOf(frame.millis);
    if (night != night_) night_ = night, nightStars_.clear();
    nightStars_.push_back(sky->stars);
    double reference = 0;
    if (settings_.clearStars) {
        reference = *settings_.clearStars;  // the owner's word, however few
    } else {
        std::vector<double> stars = nightStars_;
        const auto at =
            stars.begin() + static_cast<long>(kReferencePercentile * static_cast<double>(stars.size() - 1));
        std::nth_element(stars.begin(), at, stars.end());
        reference = *at >= kLeastReferenceStars ? *at : 0;
    }
    if (reference > 0) reading.clear = std::min(1.0, sky->stars / reference);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (readings_.size() >= kKeptReadings) readings_.erase(readings_.begin());
    readings_.push_back(reading);
}

// -2.5 log10(background / (exposure x gain x pixel area)) + zero: the same
// sky gives the same figure under any exposure.
std::optional<double> SkyQuality::brightness(double background) {
    if (!settings_.sqmZero || !settings_.plateScale || !(background > 0)) return std::nullopt;
    const auto [exposure, gain] =
        camera_ ? camera_() : std::pair<std::optional<double>, std::optional<double>>{};
    if (!exposure || !(*exposure > 0)) {
        brightnessSaid_.say(
            "sky quality: the sky's brightness needs the camera's exposure time, which it does not tell "
            "(automatic exposure?): none is given");
        return std::nullopt;
    }
    const double gainFactor = gain && *gain > 0 ? *gain : 1;
    const double area = *settings_.plateScale * *settings_.plateScale;
    return -2.5 * std::log10(background / (*exposure * gainFactor * area)) + *settings_.sqmZero;
}

std::string SkyQuality::latestJson() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (readings_.empty()) return "null";
    const SkyQualityReading& r = readings_.back();
    return "{\"time\":\"" + utcTimeMillis(r.millis) + "\",\"stars\":" + std::to_string(r.sky.stars) +
           ",\"streaks\":" + std::to_string(r.sky.streaks) +
           ",\"background\":" + jsonNumber(r.sky.background, "%.2f") +
           ",\"noise\":" + jsonNumber(r.sky.noise, "%.2f") + ",\"fwhm\":" + jsonNumber(r.sky.fwhm, "%.2f") +
           ",\"clear\":" + jsonNumber(r.clear, "%.2f") +
           ",\"sky_brightness\":" + jsonNumber(r.skyBrightness, "%.2f") + "}";
}

// The stars and clear of the measurements taken in [fromMillis, toMillis).
std::pair<std::vector<double>, std::vector<double>> SkyQuality::taken(int64_t fromMillis,
                                                                      int64_t toMillis) const {
    std::pair<std::vector<double>, std::vector<double>> found;
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const SkyQualityReading& r : readings_)
        if (r.millis >= fromMillis && r.millis < toMillis) {
            found.first.push_back(r.sky.stars);
            if (r.clear) found.second.push_back(*r.clear);
        }
    return found;
}

std::optional<SkyMedians> SkyQuality::between(int64_t fromMillis, int64_t toMillis) const {
    const auto [stars, clear] = taken(fromMillis, toMillis);
    if (stars.empty()) return std::nullopt;
    return SkyMedians{*median(stars), median(clear)};
}

std::string SkyQuality::nightJson() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto first = readings_.end();
    if (!readings_.empty()) {
        const std::string night = nightOf(readings_.back().millis);
        while (first != readings_.begin() && nightOf(std::prev(first)->millis) == night)
            --first;
    }
    std::string json = "[";
    for (auto r = first; r != readings_.end(); ++r)
        json += cv::format("%s[%lld,%d,", r == first ? "" : ",", static_cast<long long>(r->millis / 1000),
                           r->sky.stars) +
                jsonNumber(r->clear, "%.2f") + cv::format(",%.2f]", r->sky.background);
    return json + "]";
}

std::string SkyQuality::sidecarMembers(const SnapshotDue& due) const {
    const auto [stars, clear] = taken(due.span.startMillis, due.span.endMillis + 1);
    if (stars.empty()) return "\"quality\":{\"stars\":null,\"clear\":null,\"measurements\":0}";
    return "\"quality\":{\"stars\":" + jsonNumber(median(stars), "%.1f") +
           ",\"clear\":" + jsonNumber(median(clear), "%.2f") +
           ",\"measurements\":" + std::to_string(stars.size()) + "}";
}

std::vector<SkyQualityReading> SkyQuality::readings() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return readings_;
}

std::unique_ptr<SkyQuality> makeSkyQuality(const QualitySettings& settings, SkyQuality::CameraTells camera,
                                           FILE* err, bool replay) {
    if (!settings.enabled) return nullptr;
    return std::make_unique<SkyQuality>(settings, std::move(camera), err, replay);
}
