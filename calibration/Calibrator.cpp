#include "calibration/Calibrator.h"

#include "calibration/DarkMerge.h"
#include "core/EightBits.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/RecycledImages.h"
#include "platform/Files.h"
#include "platform/ImageFiles.h"

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kDarkChoiceEveryMs = 60000;  // a drifting sensor's dark chosen again at most this often

std::string describe(const cv::Mat& image) { return describeImage(image.size(), image.type()); }

// Why a dark or mask was not taken, in words after its name: what it is
// against the camera's images when it was read or its header told its size
// ("is 30000x30000"); else that it could not be read.
std::optional<std::string> mismatch(const Result<cv::Mat>& read, const cv::Mat& image) {
    if (read && read->size() == image.size() && read->type() == image.type()) return std::nullopt;
    if (!read && read.reason().rfind("is ", 0) != 0) return std::nullopt;
    return (read ? "is " + describe(*read) : read.reason()) + ", the camera's images are " + describe(image);
}

// A mask's alpha marks nothing: a grey mask with alpha is a grey mask, a
// colour one with alpha a colour one.
cv::Mat withoutAlpha(const cv::Mat& mask) {
    if (mask.channels() != 4) return mask;
    std::vector<cv::Mat> planes;
    cv::split(mask, planes);
    if (cv::countNonZero(planes[0] != planes[1]) == 0 && cv::countNonZero(planes[0] != planes[2]) == 0)
        return planes[0];
    cv::Mat colour;
    cv::merge(std::vector<cv::Mat>(planes.begin(), planes.begin() + 3), colour);
    return colour;
}

// A finite number or null from a sidecar; anything else is unreadable.
bool readOptional(const nlohmann::json& json, const char* name, std::optional<double>& into) {
    const auto found = json.find(name);
    if (found == json.end() || found->is_null()) return true;
    if (!found->is_number() || !std::isfinite(found->get<double>())) return false;
    into = found->get<double>();
    return true;
}

std::optional<DarkDescription> readDarkSidecar(const std::string& path) {
    const std::optional<nlohmann::json> json = readJsonFile(path, 1 << 16);
    if (!json || !json->is_object()) return std::nullopt;
    DarkDescription d;
    const auto whole = [&json](const char* name, int low, int high) -> std::optional<int> {
        const auto found = json->find(name);
        if (found == json->end() || !found->is_number_integer()) return std::nullopt;
        const auto value = found->get<int64_t>();
        if (value < low || value > high) return std::nullopt;
        return static_cast<int>(value);
    };
    const auto width = whole("width", 1, 65535), height = whole("height", 1, 65535),
               depth = whole("depth", 8, 16);
    if (!width || !height || !depth || (*depth != 8 && *depth != 16) ||
        !readOptional(*json, "exposure_s", d.exposureSeconds) || !readOptional(*json, "gain", d.gain) ||
        !readOptional(*json, "temperature_c", d.temperature))
        return std::nullopt;
    d.size = {*width, *height};
    d.depth = *depth;
    return d;
}

bool sameSetting(const std::optional<double>& dark, const std::optional<double>& camera) {
    if (!dark || !camera) return !dark && !camera;
    return std::abs(*dark - *camera) <= 1e-9 * std::max(1.0, std::abs(*camera));
}

}  // namespace

std::string darkSidecarJson(const DarkDescription& d) {
    return "{\"exposure_s\":" + jsonNumber(d.exposureSeconds) + ",\"gain\":" + jsonNumber(d.gain) +
           ",\"temperature_c\":" + jsonNumber(d.temperature, "%.1f") +
           ",\"width\":" + std::to_string(d.size.width) + ",\"height\":" + std::to_string(d.size.height) +
           ",\"depth\":" + std::to_string(d.depth) + ",\"frames\":" + std::to_string(d.frames) +
           ",\"made\":\"" + utcTimeMillis(d.madeMillis) + "\"}\n";
}

std::string darkSidecarPath(const std::string& image) {
    return fs::path(image).replace_extension(".json").string();
}

Calibrator::Calibrator(const CalibrationSettings& settings, std::string snapshotFolder, FILE* err)
    : settings_(settings),
      err_(err),
      hotPixelsFile_((fs::path(snapshotFolder) / kHotPixelsFile).string()),
      said_(err),
      darkSaid_(err),
      maskSaid_(err) {}

Result<std::unique_ptr<Calibrator>> Calibrator::make(const CalibrationSettings& settings,
                                                     std::string snapshotFolder, FILE* err) {
    std::unique_ptr<Calibrator> c(new Calibrator(settings, std::move(snapshotFolder), err));
    std::error_code error;
    if (!settings.dark.empty() && fs::is_directory(settings.dark, error)) {
        c->libraryAsked_ = true;
        for (const auto& entry : fs::directory_iterator(settings.dark, error)) {
            if (!entry.is_regular_file(error)) continue;
            const fs::path image = entry.path();
            const std::string extension = image.extension().string();
            if (extension != ".png" && extension != ".tif" && extension != ".tiff") continue;
            if (const auto described = readDarkSidecar(darkSidecarPath(image.string())))
                c->library_.push_back({image.string(), *described});
        }
        if (c->library_.empty())
            return Failure{"the dark library " + settings.dark + " holds no dark with a readable sidecar"};
    } else if (!settings.dark.empty()) {
        // A regular file only: reading a FIFO would wait for ever. Read at
        // the first image, once its header says it is no larger.
        if (!fs::is_regular_file(settings.dark, error) || !declaredImageSize(settings.dark))
            return Failure{"cannot read the dark " + settings.dark};
        c->darkPending_ = true;
        c->darkName_ = fs::path(settings.dark).filename().string();
    }
    if (!settings.hotPixels.empty() && settings.hotPixels != "auto") {
        if (!fs::is_regular_file(settings.hotPixels, error) || !declaredImageSize(settings.hotPixels))
            return Failure{"cannot read the hot pixel mask " + settings.hotPixels};
        c->maskPending_ = true;
    }
    return c;
}

Result<> Calibrator::readGiven(const cv::Mat& first) {
    const auto refused = [&first](const std::string& what, const Result<cv::Mat>& read) {
        return Failure{what + " " + mismatch(read, first).value_or(read.reason())};
    };
    if (darkPending_) {
        darkPending_ = false;
        Result<cv::Mat> read = readImageNoLarger(settings_.dark, first.size(), cv::IMREAD_UNCHANGED);
        if (!read) {
            const std::lock_guard<std::mutex> lock(reportMutex_);
            darkName_.clear();
            return refused("the dark " + settings_.dark, read);
        }
        if (read->depth() != CV_8U && read->depth() != CV_16U) {
            const std::lock_guard<std::mutex> lock(reportMutex_);
            darkName_.clear();
            return Failure{"the dark " + settings_.dark + " has " + describeImageType(read->type()) +
                           ": darks have 8 or 16 bits"};
        }
        dark_ = *read;
        mapDirty_ = true;
    }
    if (maskPending_) {
        maskPending_ = false;
        Result<cv::Mat> read = readImageNoLarger(settings_.hotPixels, first.size(), cv::IMREAD_UNCHANGED);
        if (!read) return refused("the hot pixel mask " + settings_.hotPixels, read);
        baseMask_ = withoutAlpha(*read);
        mapDirty_ = true;
    }
    return {};
}

Result<> Calibrator::check(const cv::Mat& first) {
    if (const Result<> read = readGiven(first); !read) return read;
    if (!dark_.empty() && (dark_.size() != first.size() || dark_.type() != first.type()))
        return Failure{"the dark " + settings_.dark + " is " + describe(dark_) +
                       ", the camera's images are " + describe(first)};
    if (!baseMask_.empty() && (baseMask_.size() != first.size() ||
                               (baseMask_.channels() != 1 && baseMask_.channels() != first.channels())))
        return Failure{"the hot pixel mask " + settings_.hotPixels + " is " + describe(baseMask_) +
                       ", the camera's images are " + describe(first)};
    return {};
}

// A library's dark for the image: its size and depth, the camera's exposure
// and gain, and the temperature nearest the sensor's, within the limit.
void Calibrator::chooseDark(const cv::Mat& image, int64_t millis, const Camera* camera) {
    // Once a minute, or for images of another mode: not at every image.
    if (image.size() == chosenSize_ && image.type() == chosenType_ &&
        millis - chosenAtMillis_ < kDarkChoiceEveryMs && millis >= chosenAtMillis_)
        return;
    chosenSize_ = image.size(), chosenType_ = image.type();
    chosenAtMillis_ = millis;
    // What the camera tells first; what it was set to where it tells nothing.
    const auto told = [camera](std::optional<double> (Camera::*what)() const, std::optional<double> set) {
        const std::optional<double> value = camera != nullptr ? (camera->*what)() : std::nullopt;
        return value ? value : set;
    };
    const std::optional<double> exposure = told(&Camera::exposureSeconds, settings_.exposureSeconds),
                                gain = told(&Camera::gain, settings_.gain),
                                celsius = told(&Camera::sensorCelsius, std::nullopt);
    const LibraryDark* best = nullptr;
    std::optional<double> bestDelta;
    bool refusedOne = false;
    for (const LibraryDark& candidate : library_) {
        const DarkDescription& d = candidate.description;
        if (refusedDarks_.count({candidate.path, image.type()}) != 0) {
            refusedOne = true;
            continue;
        }
        if (d.size != image.size() || d.depth != (image.depth() == CV_16U ? 16 : 8) ||
            !sameSetting(d.exposureSeconds, exposure) || !sameSetting(d.gain, gain))
            continue;
        std::optional<double> delta;
        if (d.temperature && celsius) delta = std::abs(*d.temperature - *celsius);
        if (delta && *delta > settings_.darkMaxDelta) continue;
        // A known temperature within the limit before an unknown one.
        if (best == nullptr || (delta && (!bestDelta || *delta < *bestDelta)))
            best = &candidate, bestDelta = delta;
    }
    if (best == nullptr) {
        if (!refusedOne)  // a dark refused was said so when it was read
            darkSaid_.say(
                "no dark in " + settings_.dark + " fits the camera's images (" + describe(image) +
                ", exposure " + jsonNumber(exposure) + " s, gain " + jsonNumber(gain) +
                (celsius ? ", within " + jsonNumber(settings_.darkMaxDelta) + " degrees of the sensor" : "") +
                "): they go uncalibrated until one does");
        mapDirty_ = mapDirty_ || !dark_.empty();
        dark_.release();
        const std::lock_guard<std::mutex> lock(reportMutex_);
        darkName_.clear(), darkDelta_.reset();
        return;
    }
    if (fs::path(best->path).filename().string() != darkName_ || dark_.empty())
        useDark(best->path, bestDelta, image);
    const std::lock_guard<std::mutex> lock(reportMutex_);
    if (!darkName_.empty()) darkDelta_ = bestDelta;
}

// A library's dark as its sidecar describes it, checked as read: its
// header before it is decoded, then its channels and depth.
void Calibrator::useDark(const std::string& path, std::optional<double> delta, const cv::Mat& image) {
    Result<cv::Mat> read = readImageNoLarger(path, image.size(), cv::IMREAD_UNCHANGED);
    const std::string name = fs::path(path).filename().string();
    if (!read || read->size() != image.size() || read->type() != image.type()) {
        if (const std::optional<std::string> why = mismatch(read, image)) {
            darkSaid_.say("the dark " + path + " " + *why + ": it is not used");
            refusedDarks_.insert({path, image.type()});
        } else {
            darkSaid_.say("cannot read the dark " + path + ": images go uncalibrated");
        }
        mapDirty_ = mapDirty_ || !dark_.empty();
        dark_.release();
        const std::lock_guard<std::mutex> lock(reportMutex_);
        darkName_.clear(), darkDelta_.reset();
        return;
    }
    const cv::Mat dark = *read;
    dark_ = dark;
    darkSaid_.say("dark: " + name +
                  (delta ? cv::format(", %.1f degrees from the sensor", *delta) : std::string()));
    mapDirty_ = true;
    const std::lock_guard<std::mutex> lock(reportMutex_);
    darkName_ = name;
    darkDelta_ = delta;
}

// The hot pixels filled in images like this one: the base mask's and, with
// a dark, the dark's own.
void Calibrator::rebuildMap(const cv::Mat& image) {
    builtType_ = image.type();
    mapDirty_ = false;
    cv::Mat mask;
    if (!baseMask_.empty() && baseMask_.size() == image.size()) mask = baseMask_ != 0;
    if (!mask.empty() && mask.channels() != image.channels())
        cv::merge(std::vector<cv::Mat>(static_cast<size_t>(image.channels()), mask), mask);
    if (!dark_.empty() && dark_.size() == image.size() && dark_.type() == image.type()) {
        const cv::Mat fromDark = standingOut(dark_, settings_.hotMargin);
        if (mask.empty())
            mask = fromDark;
        else
            cv::bitwise_or(mask, fromDark, mask);
    }
    // Built for these images even with no hot pixel, so that it is not built again at every image.
    map_ = std::make_shared<const HotPixelMap>(
        mask.empty() ? cv::Mat(image.size(), CV_8UC1, cv::Scalar(0)) : mask, image.channels());
    const std::lock_guard<std::mutex> lock(reportMutex_);
    hotCount_ = map_->count();
}

void Calibrator::learnedOrTakenUp(const cv::Mat& mask, const std::string& how, Frame& frame) {
    learning_ = false;
    baseMask_ = mask;
    rebuildMap(frame.image);
    // Said each time, the same count again after a change of size too.
    const std::string line = "hot pixels: " + std::to_string(map_->count()) + " " + how;
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
    if (map_->empty()) return;
    // The trail so far took the hot pixels at their brightest: mended the same way.
    frame.mendTrail = [map = map_](cv::Mat& trail) { map->fill(trail); };
}

// An image to calibrate into, in memory an earlier image let go of.
cv::Mat Calibrator::recycled(const cv::Mat& like) {
    cv::Mat image = recycledImage();
    image.create(like.size(), like.type());
    return image;
}

void Calibrator::apply(Frame& frame, const Camera* camera) {
    if (frame.image.empty()) return;
    const cv::Mat own = frame.image;
    if (darkPending_ || maskPending_)  // no first image was checked
        if (const Result<> read = readGiven(own); !read) darkSaid_.say(read.reason());
    if (libraryAsked_) chooseDark(own, frame.millis, camera);
    cv::Mat dark;
    if (!dark_.empty() && dark_.size() == own.size() && dark_.type() == own.type())
        dark = dark_;
    else if (!dark_.empty() && !libraryAsked_)
        darkSaid_.say("the dark " + settings_.dark + " is " + describe(dark_) +
                      ", the camera's images are now " + describe(own) +
                      ": they go uncalibrated until they fit again");
    if (settings_.hotPixels == "auto" && !learning_ && baseMask_.size() != own.size()) {
        // A map kept by an earlier run of this camera is taken up; else learned anew.
        const Result<cv::Mat> read = readImageNoLarger(hotPixelsFile_, own.size(), cv::IMREAD_UNCHANGED);
        const cv::Mat kept = read ? withoutAlpha(*read) : cv::Mat();
        if (!kept.empty() && kept.size() == own.size() &&
            (kept.channels() == 1 || kept.channels() == own.channels())) {
            learnedOrTakenUp(kept, "taken up from " + hotPixelsFile_, frame);
        } else {
            learner_.emplace(settings_.hotLearn, settings_.hotMargin);
            learning_ = true;
        }
    }
    // The camera's own image stays as it came (clips and the frame timelapse
    // keep it); the calibrated one goes into memory an earlier image let go of.
    cv::Mat out = own, source = own;
    if (learning_) {
        // The learner sees the images as calibrated so far: the dark is taken off now.
        if (!dark.empty()) subtractDarkAndMerge(own, dark, source = out = recycled(own), nullptr);
        if (learner_->add(out, frame.millis)) {
            const cv::Mat mask = learner_->map().mask();
            const Result<> kept = writeImageAtomically(hotPixelsFile_, mask);
            learnedOrTakenUp(mask,
                             cv::format("found in %d images over %.1f minutes", learner_->seen(),
                                        learner_->spannedMillis() / 60000.0) +
                                 (kept ? ", kept in " + hotPixelsFile_ : ", not kept: " + kept.reason()),
                             frame);
            learner_.reset();
        }
        dark.release();
    }
    if (!settings_.hotPixels.empty() && !learning_ &&
        (mapDirty_ || !map_ || !map_->fits(own) || builtType_ != own.type())) {
        rebuildMap(own);
        if (settings_.hotPixels != "auto" && baseMask_.size() == own.size())
            said_.say("hot pixels: " + std::to_string(map_->count()));
        else if (settings_.hotPixels != "auto")
            maskSaid_.say("the hot pixel mask " + settings_.hotPixels + " is " + describe(baseMask_) +
                          ", the camera's images are now " + describe(own) +
                          ": they go unfilled until they fit again");
    }
    std::shared_ptr<const HotPixelMap> map;
    if (!learning_ && map_ && !map_->empty() && map_->fits(own)) map = map_;
    if (dark.empty() && !map) {
        if (out.data != own.data) frame.own = own, frame.image = out;
        return;
    }
    if (out.data == own.data) out = recycled(own);
    frame.own = own;
    frame.image = out;
    // The dark is taken off as the loop merges the image; the hot pixels are
    // filled then, the trail taking their filled values.
    frame.finish = [source, dark, out, map](cv::Mat* trail) mutable {
        calibrateAndMerge(source, dark, out, trail, map.get());
    };
}

std::string Calibrator::sidecarMembers() const {
    const std::lock_guard<std::mutex> lock(reportMutex_);
    return "\"dark\":" + (darkName_.empty() ? std::string("null") : jsonString(darkName_)) +
           ",\"dark_temperature_delta\":" + jsonNumber(darkDelta_, "%.1f") +
           ",\"hot_pixels\":" + std::to_string(hotCount_);
}

std::string Calibrator::statusJson() const { return "\"calibration\":{" + sidecarMembers() + "}"; }

Result<> CalibratedCamera::checkFirstImage() {
    Frame frame;
    camera_.read(frame);
    if (frame.image.empty()) return {};  // no camera: the run says so as ever
    const Result<> fits = calibrator_.check(frame.image);
    first_ = std::move(frame);
    return fits;
}

void CalibratedCamera::read(Frame& frame) {
    if (first_) {
        frame = std::move(*first_);
        first_.reset();
    } else {
        camera_.read(frame);
    }
    calibrator_.apply(frame, &camera_);
}
