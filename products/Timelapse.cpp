#include "products/Timelapse.h"

#include "core/EightBits.h"
#include "core/FileNames.h"
#include "core/Night.h"
#include "core/StoredFrames.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>

namespace {
constexpr size_t kWaiting = 2;
}  // namespace

Timelapse::Timelapse(TimelapseSettings settings, FILE* err, FilesInUse* inUse)
    : settings_(std::move(settings)),
      inUse_(inUse),
      said_(err),
      encoder_({"trailcam-video", settings_.waitForEncoder ? WhenFull::wait : WhenFull::leaveOut, kWaiting,
                lowerThisThreadsPriority, [this] { close(); }, settings_.flushEvery,
                // Flushed on the clock too, when no image comes for a while.
                [this] {
                    if (unflushed_) flushNow();
                }},
               [this](Still& still) { add(still); }) {}

Timelapse::~Timelapse() { ended(); }

void Timelapse::dawn(int64_t millis) {
    day_ = true;
    started_ = false;
    encoder_.hand({cv::Mat(), millis, nullptr, true}, false);  // never left out
}

void Timelapse::ticked(const Tick& tick) {
    if (day_) return;
    if (started_ && tick.frame.millis - lastMillis_ < static_cast<int64_t>(settings_.everySeconds * 1000))
        return;
    started_ = true;
    lastMillis_ = tick.frame.millis;
    cv::Mat image;
    switch (settings_.shows) {
        case TimelapseSettings::Shows::frame:
            // The source's own JPEG when it sent one: nothing to encode.
            if (!tick.frame.jpeg) image = shown(tick.frame.cameraImage(), tick.stretch).clone();
            break;
        case TimelapseSettings::Shows::trail:
            image = shown(tick.trail, tick.stretch).clone();
            break;
        case TimelapseSettings::Shows::both:
            cv::hconcat(shown(tick.frame.cameraImage(), tick.stretch), shown(tick.trail, tick.stretch),
                        image);
            break;
    }
    Still still{std::move(image), tick.frame.millis};
    if (still.image.empty())
        still = {shown(tick.frame.cameraImage(), tick.stretch), tick.frame.millis, tick.frame.jpeg};
    if (!encoder_.hand(std::move(still)) && !ended_) {
        const std::lock_guard<std::mutex> lock(mutex_);
        said_.say("timelapse: the encoder cannot keep up, images left out");
    }
}

void Timelapse::ended() {
    ended_ = true;
    encoder_.finish();
}

// A new night, or images of another size, start the next file.
void Timelapse::add(const Still& still) {
    if (still.closesFile) return close();
    const std::string night = nightOf(still.millis);
    if (open_ && (night != night_ || still.image.size() != size_)) close();
    if (!open_) {
        std::error_code error;
        std::filesystem::create_directories(settings_.folder, error);
        // Written under a hidden name until it holds an image.
        night_ = night;
        writing_ = temporaryPathOf(finalName());
        const Result<> opened =
            video_.open(writing_, still.image.size(), settings_.fps, MjpegVideo::Container::matroska);
        if (!opened) {
            std::remove(writing_.c_str());
            return complain("cannot write " + finalName() + ": " + opened.reason());
        }
        open_ = true;
        placed_ = false;
        times_.clear();
        size_ = still.image.size();
        flushedMillis_ = still.millis;
    }
    std::vector<uchar> encoded;
    if (!still.jpeg) cv::imencode(".jpg", still.image, encoded, {cv::IMWRITE_JPEG_QUALITY, 90});
    if (const Result<> added = video_.add(still.jpeg ? *still.jpeg : encoded); !added)
        return fail(added.reason());
    times_.push_back(still.millis);
    unflushed_ = true;
    // The first image at once; then at least every so often of the clock or
    // of the images (a replay or a fast sky goes faster than the clock).
    if (!placed_ || std::chrono::steady_clock::now() - flushedAt_ >= settings_.flushEvery ||
        still.millis - flushedMillis_ >= settings_.flushEvery.count()) {
        flushedMillis_ = still.millis;
        flushNow();
    }
}

void Timelapse::flushNow() {
    if (!open_) return;
    flushedAt_ = std::chrono::steady_clock::now();
    unflushed_ = false;
    if (const Result<> flushed = video_.flush(); !flushed) return fail(flushed.reason());
    if (!placed_)
        if (const Result<> placed = placeFile(); !placed) return fail(placed.reason());
    writeIndex();
}

// The images on disk so far: their times and places.
void Timelapse::writeIndex() {
    StoredFrames stored;
    for (const MjpegVideo::Stored& place : video_.stored())
        stored.frames.push_back({place.offset, place.size});
    stored.times.assign(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(times_.size(), stored.frames.size())));
    stored.fps = settings_.fps;
    nlohmann::ordered_json json;
    putStoredFrames(json, stored);
    const std::string text = json.dump() + "\n";
    const std::string path = writing_.substr(0, writing_.size() - 4) + ".json";
    if (const Result<> written = writeFileAtomically(path, {text.begin(), text.end()}, false); !written)
        complain("cannot write " + path + ": " + written.reason());
}

// Renames the file, with its header and first image on disk, to the first
// free name of its night; it goes on being written there.
Result<> Timelapse::placeFile() {
    for (;;) {
        const std::string path = finalName();
        const Result<bool> renamed = renameWithoutReplacing(writing_, path);
        if (!renamed) return Failure{renamed.reason()};
        if (!*renamed) continue;  // taken meanwhile
        writing_ = path;
        video_.movedTo(path);
        placed_ = true;
        if (inUse_ != nullptr) inUse_->hold(path);
        return {};
    }
}

// A file that cannot be written is closed as it is: a placed one keeps what
// reached it, an unplaced one goes.
void Timelapse::fail(const std::string& why) {
    complain("cannot write " + (placed_ ? writing_ : finalName()) + ": " + why);
    video_.drop();
    if (!placed_) std::remove(writing_.c_str());
    release();
}

// The name the night's file in progress gets once it holds an image.
std::string Timelapse::finalName() const {
    return unusedName(settings_.folder + "/" + productBase(kTimelapse, night_), ".mkv");
}

void Timelapse::close() {
    if (!open_) return;
    if (const Result<> closed = video_.close(); !closed) return fail(closed.reason());
    if (!placed_)
        if (const Result<> placed = placeFile(); !placed) return fail(placed.reason());
    writeIndex();
    release();
}

// The file is no longer written.
void Timelapse::release() {
    open_ = false;
    unflushed_ = false;
    if (placed_ && inUse_ != nullptr) inUse_->release(writing_);
    placed_ = false;
}

void Timelapse::complain(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    said_.say(line);
}
