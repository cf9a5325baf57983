#include "products/Timelapse.h"

#include "core/EightBits.h"
#include "platform/Threads.h"
#include "products/Night.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>

namespace {
constexpr size_t kWaiting = 2;
constexpr auto kFlushEvery = std::chrono::seconds(30);
}  // namespace

Timelapse::Timelapse(TimelapseSettings settings, FILE* err)
    : settings_(std::move(settings)), said_(err), thread_([this] { work(); }) {}

Timelapse::~Timelapse() { ended(); }

void Timelapse::ticked(const Tick& tick) {
    if (started_ && tick.frame.millis - lastMillis_ < static_cast<int64_t>(settings_.everySeconds * 1000))
        return;
    started_ = true;
    lastMillis_ = tick.frame.millis;
    cv::Mat image;
    switch (settings_.shows) {
        case TimelapseSettings::Shows::frame:
            image = eightBitColour(tick.frame.image).clone();
            break;
        case TimelapseSettings::Shows::trail:
            image = eightBitColour(tick.trail).clone();
            break;
        case TimelapseSettings::Shows::both:
            cv::hconcat(eightBitColour(tick.frame.image), eightBitColour(tick.trail), image);
            break;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (settings_.waitForEncoder)
        changed_.wait(lock, [this] { return waiting_.size() < kWaiting || ending_; });
    if (waiting_.size() >= kWaiting)
        return said_.say("timelapse: the encoder cannot keep up, images left out");
    waiting_.push_back({std::move(image), tick.frame.millis});
    changed_.notify_all();
}

void Timelapse::ended() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string Timelapse::current() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void Timelapse::work() {
    nameThisThread("trailcam-video");
    lowerThisThreadsPriority();
    for (;;) {
        Still still;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return ending_ || !waiting_.empty(); });
            if (waiting_.empty()) break;
            still = std::move(waiting_.front());
            waiting_.pop_front();
        }
        changed_.notify_all();
        add(still);
    }
    close();
}

// A new night, or images of another size, start the next file.
void Timelapse::add(const Still& still) {
    const std::string night = nightOf(still.millis);
    if (open_ && (night != night_ || still.image.size() != size_)) close();
    if (!open_) {
        std::error_code error;
        std::filesystem::create_directories(settings_.folder, error);
        const std::string path = unusedName(settings_.folder + "/timelapse-" + night, ".mkv");
        const Result<> opened =
            video_.open(path, still.image.size(), settings_.fps, MjpegVideo::Container::matroska);
        if (!opened) return complain("cannot write " + path + ": " + opened.reason());
        open_ = true;
        night_ = night;
        size_ = still.image.size();
        flushedAt_ = std::chrono::steady_clock::now();
        flushedMillis_ = still.millis;
        const std::lock_guard<std::mutex> lock(mutex_);
        current_ = path;
    }
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", still.image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    Result<> added = video_.add(jpeg);
    // On disk at least every 30 seconds, of the clock or of the images (a
    // replay or a fast sky goes faster than the clock).
    if (added && (std::chrono::steady_clock::now() - flushedAt_ >= kFlushEvery ||
                  still.millis - flushedMillis_ >= std::chrono::milliseconds(kFlushEvery).count())) {
        added = video_.flush();
        flushedAt_ = std::chrono::steady_clock::now();
        flushedMillis_ = still.millis;
    }
    if (!added) {
        complain("cannot write " + current() + ": " + added.reason());
        video_.drop();
        open_ = false;
    }
}

void Timelapse::close() {
    if (!open_) return;
    open_ = false;
    if (const Result<> closed = video_.close(); !closed)
        complain("cannot write " + current() + ": " + closed.reason());
}

void Timelapse::complain(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    said_.say(line);
}
