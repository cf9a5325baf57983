#include "products/Keogram.h"

#include "core/EightBits.h"
#include "core/Json.h"
#include "platform/Files.h"
#include "platform/Threads.h"
#include "products/Night.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

constexpr int kLabelRows = 24;  // the hours, below the columns
constexpr int64_t kSaveMillis = 60000;

// The columns with a strip of hour labels below: a tick and the hour where
// a column's local hour differs from the one before it.
cv::Mat withHours(const cv::Mat& columns, const std::vector<int64_t>& times) {
    cv::Mat labelled(columns.rows + kLabelRows, columns.cols, CV_8UC3, cv::Scalar::all(0));
    columns.copyTo(labelled(cv::Rect(0, 0, columns.cols, columns.rows)));
    for (size_t i = 0; i < times.size(); ++i) {
        const int hour = localHour(times[i]);
        if (i > 0 && hour == localHour(times[i - 1])) continue;
        const int x = static_cast<int>(i);
        cv::line(labelled, {x, columns.rows}, {x, columns.rows + 5}, cv::Scalar::all(200));
        cv::putText(labelled, cv::format("%02d", hour), {x + 2, columns.rows + 18}, cv::FONT_HERSHEY_PLAIN, 1,
                    cv::Scalar::all(200));
    }
    return labelled;
}

std::string timesJson(const std::vector<int64_t>& times) {
    std::string json = "[";
    for (const int64_t t : times)
        json += (json.size() > 1 ? ",\"" : "\"") + utcTimeMillis(t) + "\"";
    return json + "]\n";
}

std::vector<int64_t> timesOf(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    const std::string json = text.str();
    std::vector<int64_t> times;
    static const std::regex time("\"([^\"]+)\"");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), time); it != std::sregex_iterator(); ++it)
        if (const auto t = parseUtcTime((*it)[1])) times.push_back(*t);
    return times;
}

// Brings a column to 8-bit colour, one pixel wide.
cv::Mat colourColumn(const cv::Mat& column) { return eightBitColour(column).clone(); }

}  // namespace

KeogramStrip::KeogramStrip(std::string folder, std::string prefix, FILE* err)
    : folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      err_(err),
      writer_([this](Written& keogram) { write(keogram); }, lowerThisThreadsPriority) {}

void KeogramStrip::add(const cv::Mat& column, int64_t millis) {
    const std::string night = nightOf(millis);
    if (night != night_) {
        if (!times_.empty()) finish();
        open(night, column.rows);
    }
    if (column.rows != columns_.rows) return;  // a camera that changed size keeps its keogram's height
    if (columns_.empty())
        columns_ = column.clone();
    else
        cv::hconcat(columns_, column, columns_);
    times_.push_back(millis);
    if (millis - savedAt_ >= kSaveMillis) {
        savedAt_ = millis;
        writer_.hand({base_, columns_.clone(), times_});
    }
}

// Takes up the night's file when it has this height, or starts a new one
// beside it.
void KeogramStrip::open(const std::string& night, int rows) {
    night_ = night;
    base_ = folder_ + "/" + prefix_ + "-" + night;
    columns_ = cv::Mat(rows, 0, CV_8UC3);
    times_.clear();
    savedAt_ = 0;
    std::error_code error;
    if (!std::filesystem::exists(base_ + ".png", error)) return;
    const cv::Mat earlier = cv::imread(base_ + ".png", cv::IMREAD_COLOR);
    std::vector<int64_t> times = timesOf(base_ + ".json");
    if (earlier.rows - rows >= 0 && earlier.rows - rows <= 32 &&
        earlier.cols == static_cast<int>(times.size())) {
        columns_ = earlier(cv::Rect(0, 0, earlier.cols, rows)).clone();
        times_ = std::move(times);
        return;
    }
    const std::string other = unusedName(base_, ".png");
    std::fprintf(err_, "%s.png does not fit this camera's images: keeping it, going on in %s\n",
                 base_.c_str(), other.c_str());
    std::fflush(err_);
    base_ = other.substr(0, other.size() - 4);
}

void KeogramStrip::finish() {
    if (times_.empty()) return;
    Written keogram{base_, columns_, times_};
    write(keogram);
}

void KeogramStrip::write(Written& keogram) {
    const std::lock_guard<std::mutex> serial(writing_);
    if (keogram.base == writtenBase_ && keogram.times.size() <= writtenColumns_) return;
    std::vector<uchar> png;
    cv::imencode(".png", withHours(keogram.columns, keogram.times), png);
    const std::string json = timesJson(keogram.times);
    Result<> written = writeFileAtomically(keogram.base + ".json", {json.begin(), json.end()}, true);
    if (written) written = writeFileAtomically(keogram.base + ".png", png, true);
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

Keogram::Keogram(std::string folder, double everySeconds, PanoramaView* panorama, FILE* err)
    : everyMillis_(static_cast<int64_t>(everySeconds * 1000)),
      panorama_(panorama),
      strip_(folder, "keogram", err),
      panoramaStrip_(folder, "keogram-panorama", err) {}

void Keogram::framed(const Frame& frame) {
    const cv::Mat& image = frame.image;
    if (image.size() != size_ || image.type() != column_.type()) {
        size_ = image.size();
        intervalStarted_ = false;
        nextColumn_.reset();
        ringSquare_ = startupRingSquare(size_);
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
            image(ringSquare_).copyTo(ring_(ringSquare_));
        }
    } else {
        cv::max(column_, image.col(image.cols / 2), column_);
        if (panorama_ != nullptr) {
            cv::Mat square = ring_(ringSquare_);
            cv::max(square, image(ringSquare_), square);
        }
    }
    if (frame.millis < *nextColumn_) return;
    addColumns(*nextColumn_);
    *nextColumn_ += everyMillis_;
}

void Keogram::addColumns(int64_t millis) {
    strip_.add(colourColumn(column_), millis);
    if (panorama_ != nullptr) {
        const cv::Mat unwrapped = panorama_->unwrap(ring_);
        if (!unwrapped.empty()) {
            cv::Mat directions;
            cv::reduce(unwrapped, directions, 1, cv::REDUCE_MAX);  // the maximum over each row
            panoramaStrip_.add(directions, millis);
        }
    }
    intervalStarted_ = false;
}

void Keogram::ended() {
    strip_.finish();
    panoramaStrip_.finish();
}
