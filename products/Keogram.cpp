#include "products/Keogram.h"

#include "core/EightBits.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/Night.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <optional>

namespace {

constexpr int kLabelRows = 24;  // the hours, below the columns
constexpr int64_t kSaveMillis = 60000;
// Columns are kept in blocks of this many, each column a row of its block:
// a column costs the same however many came before, and nothing is copied
// as the night grows.
constexpr int kBlockColumns = 1024;

// The columns with a strip of hour labels below: a tick and the hour where
// a column's local hour differs from the one before it.
cv::Mat withHours(const cv::Mat& columns, const std::vector<int64_t>& times) {
    cv::Mat labelled(columns.rows + kLabelRows, columns.cols, columns.type(), cv::Scalar::all(0));
    const cv::Scalar grey = cv::Scalar::all(columns.depth() == CV_16U ? 200 * 257 : 200);
    columns.copyTo(labelled(cv::Rect(0, 0, columns.cols, columns.rows)));
    for (size_t i = 0; i < times.size(); ++i) {
        const int hour = localHour(times[i]);
        if (i > 0 && hour == localHour(times[i - 1])) continue;
        const int x = static_cast<int>(i);
        cv::line(labelled, {x, columns.rows}, {x, columns.rows + 5}, grey);
        cv::putText(labelled, cv::format("%02d", hour), {x + 2, columns.rows + 18}, cv::FONT_HERSHEY_PLAIN, 1,
                    grey);
    }
    return labelled;
}

std::string timesJson(const std::vector<int64_t>& times) {
    std::string json = "[";
    for (const int64_t t : times)
        json += (json.size() > 1 ? ",\"" : "\"") + utcTimeMillis(t) + "\"";
    return json + "]\n";
}

// The times of a keogram's columns; none when its JSON cannot be read.
std::optional<std::vector<int64_t>> timesOf(const std::string& path) {
    const std::optional<nlohmann::json> json = readJsonFile(path);
    if (!json || !json->is_array()) return std::nullopt;
    std::vector<int64_t> times;
    for (const nlohmann::json& time : *json) {
        const std::optional<int64_t> t =
            time.is_string() ? parseUtcTime(time.get<std::string>()) : std::nullopt;
        if (!t || (!times.empty() && *t <= times.back())) return std::nullopt;
        times.push_back(*t);
    }
    return times;
}

// Brings a column to colour, one pixel wide: 8 bits, or 16 from a 16-bit
// trail's camera (--depth 16), whose keogram is a 16-bit PNG.
cv::Mat colourColumn(const cv::Mat& column) {
    if (column.depth() != CV_16U) return eightBitColour(column).clone();
    cv::Mat colour;
    if (column.channels() == 3) return column.clone();
    cv::cvtColor(column, colour, column.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    return colour;
}

int keogramType(const cv::Mat& column) { return column.depth() == CV_16U ? CV_16UC3 : CV_8UC3; }

}  // namespace

KeogramStrip::KeogramStrip(std::string folder, std::string prefix, FILE* err, FilesInUse* inUse)
    : folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      err_(err),
      inUse_(inUse),
      said_(err),
      writer_({prefix_ == kKeogram ? "trailcam-keo" : "trailcam-keopan", WhenFull::keepNewest, 1,
               lowerThisThreadsPriority},
              [this](Written& keogram) { write(keogram); }) {}

KeogramStrip::~KeogramStrip() { use(""); }

void KeogramStrip::add(const cv::Mat& column, int64_t millis) {
    const std::string night = nightOf(millis);
    if (night != night_ || keogramType(column) != type_) {
        if (!times_.empty()) finish();
        type_ = keogramType(column);
        open(night, column.rows);
    }
    if (column.rows != height_) return;  // a camera that changed size keeps its keogram's height
    if (!times_.empty() && millis <= times_.back()) {
        // A replay of an earlier stretch, or a clock set back: an earlier
        // run's file is kept as it is; this run's own columns stay in order.
        if (takenUp_) {
            goOnBeside("its columns are newer than this run's images");
        } else {
            said_.say("keogram: images older than " + base_ + ".png's last column are left out");
            return;
        }
    }
    if (inUse_ != nullptr) {  // again, after a finish
        inUse_->hold(base_ + ".png");
        inUse_->hold(base_ + ".json");
    }
    const int count = static_cast<int>(times_.size());
    if (count % kBlockColumns == 0) blocks_.emplace_back(kBlockColumns, height_, type_);
    cv::Mat place = blocks_.back().row(count % kBlockColumns);
    colourColumn(column).reshape(0, 1).copyTo(place);
    times_.push_back(millis);
    takenUp_ = false;  // from now on the columns are this run's too
    if (millis - savedAt_ >= kSaveMillis) {
        savedAt_ = millis;
        // No copy: the columns written so far never change, and a larger
        // buffer is a new one, so the writer's view stays as it was handed.
        writer_.hand({base_, blocks_, times_});
    }
}

// Takes up the night's file when it fits, or starts a new one beside it.
void KeogramStrip::open(const std::string& night, int rows) {
    night_ = night;
    height_ = rows;
    blocks_.clear();
    times_.clear();
    savedAt_ = 0;
    takenUp_ = false;
    use(folder_ + "/" + productBase(prefix_, night));
    std::error_code error;
    if (!std::filesystem::exists(base_ + ".png", error)) return;
    const cv::Mat earlier = cv::imread(base_ + ".png", cv::IMREAD_ANYCOLOR | cv::IMREAD_ANYDEPTH);
    const std::optional<std::vector<int64_t>> times = timesOf(base_ + ".json");
    if (earlier.empty() || !times) return goOnBeside("cannot be read");
    if (earlier.type() != type_) return goOnBeside("does not fit this camera's images");
    if (earlier.rows != rows + kLabelRows) return goOnBeside("does not fit this camera's images");
    // Written PNG first: after a crash between the two, the JSON is the
    // shorter; a JSON of another run's longer file cannot be, but is cut too.
    const int columns = std::min(earlier.cols, static_cast<int>(times->size()));
    for (int from = 0; from < columns; from += kBlockColumns) {
        blocks_.emplace_back(kBlockColumns, rows, type_);
        const int width = std::min(kBlockColumns, columns - from);
        cv::Mat place = blocks_.back().rowRange(0, width);
        cv::transpose(earlier(cv::Rect(from, 0, width, rows)), place);
    }
    times_.assign(times->begin(), times->begin() + columns);
    takenUp_ = columns > 0;
}

// Leaves the file in use as it is and goes on in the next free name.
void KeogramStrip::goOnBeside(const std::string& why) {
    const std::string other = unusedBase(folder_ + "/" + productBase(prefix_, night_), {".png", ".json"});
    std::fprintf(err_, "%s.png %s: keeping it, going on in %s.png\n", base_.c_str(), why.c_str(),
                 other.c_str());
    std::fflush(err_);
    blocks_.clear();
    times_.clear();
    savedAt_ = 0;
    takenUp_ = false;
    use(other);
}

// The files of base are the ones being written from now on.
void KeogramStrip::use(const std::string& base) {
    if (inUse_ != nullptr && !base_.empty()) {
        inUse_->release(base_ + ".png");
        inUse_->release(base_ + ".json");
    }
    base_ = base;
    if (inUse_ != nullptr && !base_.empty()) {
        inUse_->hold(base_ + ".png");
        inUse_->hold(base_ + ".json");
    }
}

// The night's file written whole; it is let go of (retention and uploads
// may take it) until another column comes.
void KeogramStrip::finish() {
    if (times_.empty()) return;
    Written keogram{base_, blocks_, times_};
    write(keogram);
    if (inUse_ != nullptr) {
        inUse_->release(base_ + ".png");
        inUse_->release(base_ + ".json");
    }
}

void KeogramStrip::write(Written& keogram) {
    const std::lock_guard<std::mutex> serial(writing_);
    if (keogram.base == writtenBase_ && keogram.times.size() <= writtenColumns_) return;
    std::vector<uchar> png;
    const int count = static_cast<int>(keogram.times.size());
    cv::Mat columns(keogram.blocks.front().cols, count, keogram.blocks.front().type());
    for (int from = 0, block = 0; from < count; from += kBlockColumns, ++block) {
        const int width = std::min(kBlockColumns, count - from);
        cv::Mat place = columns.colRange(from, from + width);
        cv::transpose(keogram.blocks[block].rowRange(0, width), place);
    }
    cv::imencode(".png", withHours(columns, keogram.times), png);
    const std::string json = timesJson(keogram.times);
    // The PNG first: a JSON whose columns are not all in the PNG is never left.
    Result<> written = writeFileAtomically(keogram.base + ".png", png, true);
    if (written) written = writeFileAtomically(keogram.base + ".json", {json.begin(), json.end()}, true);
    if (!written) {
        std::fprintf(err_, "cannot write %s.png: %s\n", keogram.base.c_str(), written.reason().c_str());
        std::fflush(err_);
        return;
    }
    writtenBase_ = keogram.base;
    writtenColumns_ = keogram.times.size();
    const std::lock_guard<std::mutex> lock(latestMutex_);
    const auto slash = keogram.base.rfind('/');
    latest_ = {keogram.base.substr(slash == std::string::npos ? 0 : slash + 1) + ".png",
               {png.begin(), png.end()}};
}

std::pair<std::string, std::string> KeogramStrip::latest() const {
    const std::lock_guard<std::mutex> lock(latestMutex_);
    return latest_;
}

Keogram::Keogram(std::string folder, double everySeconds, Panorama* panorama, FILE* err, FilesInUse* inUse)
    : everyMillis_(static_cast<int64_t>(everySeconds * 1000)),
      panorama_(panorama),
      strip_(folder, kKeogram, err, inUse),
      panoramaStrip_(panorama != nullptr
                         ? std::make_unique<KeogramStrip>(folder, kKeogramPanorama, err, inUse)
                         : nullptr) {}

void Keogram::framed(const Frame& frame) {
    const cv::Mat& image = frame.image;
    if (image.size() != size_ || image.type() != column_.type()) {
        size_ = image.size();
        intervalStarted_ = false;
        nextColumn_.reset();
        if (panorama_ != nullptr) ringSquare_ = panorama_->ringSquare(size_);
    }
    // Columns on a grid of `every` from the first image, each the maximum of
    // the images since the one before. After a gap longer than a column (a
    // camera that was away, a restart) the grid starts again.
    if (nextColumn_ && frame.millis >= *nextColumn_ + everyMillis_) {
        if (intervalStarted_) addColumns(*nextColumn_);
        nextColumn_.reset();
    }
    if (!nextColumn_) nextColumn_ = frame.millis + everyMillis_;
    if (!intervalStarted_) {
        intervalStarted_ = true;
        image.col(image.cols / 2).copyTo(column_);
        if (panorama_ != nullptr) {
            ring_ = cv::Mat::zeros(image.size(), image.type());
            if (!ringSquare_.empty()) image(ringSquare_).copyTo(ring_(ringSquare_));
        }
    } else {
        cv::max(column_, image.col(image.cols / 2), column_);
        // An image that cannot hold the ring has no panorama: nothing to gather.
        if (panorama_ != nullptr && !ringSquare_.empty()) {
            cv::Mat square = ring_(ringSquare_);
            cv::max(square, image(ringSquare_), square);
        }
    }
    if (frame.millis < *nextColumn_) return;
    addColumns(*nextColumn_);
    *nextColumn_ += everyMillis_;
}

void Keogram::addColumns(int64_t millis) {
    strip_.add(column_, millis);
    if (panorama_ != nullptr) {
        const cv::Mat unwrapped = panorama_->unwrap(ring_);
        if (!unwrapped.empty()) {
            cv::Mat directions;
            cv::reduce(unwrapped, directions, 1, cv::REDUCE_MAX);  // the maximum over each row
            panoramaStrip_->add(directions, millis);
        }
    }
    intervalStarted_ = false;
}

void Keogram::dawn(int64_t) {
    if (intervalStarted_ && nextColumn_) addColumns(*nextColumn_);
    nextColumn_.reset();
    ended();
}

void Keogram::ended() {
    strip_.finish();
    if (panoramaStrip_) panoramaStrip_->finish();
}
