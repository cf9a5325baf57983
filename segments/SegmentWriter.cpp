#include "segments/SegmentWriter.h"

#include "core/FileNames.h"
#include "core/Night.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>

SegmentWriter::SegmentWriter(std::string snapshotFolder, int seconds, int hazeMargin, FILE* err,
                             const SkyReadings* quality, std::optional<double> minClear)
    : folder_(std::move(snapshotFolder)),
      seconds_(seconds),
      hazeMargin_(hazeMargin),
      quality_(quality),
      minClear_(minClear),
      said_(err),
      writer_({"trailcam-segs", WhenFull::wait, 2, lowerThisThreadsPriority},
              [this](Job& job) { work(job); }) {}

SegmentWriter::~SegmentWriter() { writer_.finish(); }

int64_t SegmentWriter::segmentStart(int64_t millis, int seconds) {
    const int64_t span = int64_t{seconds} * 1000;
    return (millis >= 0 ? millis / span : (millis - span + 1) / span) * span;
}

void SegmentWriter::keptOut(const KeptOut& kept) { keptMillis_ = kept.frame.millis; }

void SegmentWriter::framed(const Frame& frame) {
    const int64_t start = segmentStart(frame.millis, seconds_);
    const bool flash = frame.millis == keptMillis_;
    keptMillis_ = -1;
    // A new span, or a camera that changed its images: the open segment ends.
    if (open_ && (open_->start != start || (!flash && !open_->maximum.empty() &&
                                            (frame.image.size() != open_->maximum.size() ||
                                             frame.image.type() != open_->maximum.type()))))
        finish();
    if (!open_) open_ = Open{start, cv::Mat(), 0, 0};
    if (flash) {
        ++open_->rejected;
        return;
    }
    if (open_->maximum.empty())
        open_->maximum = frame.image.clone();
    else
        cv::max(open_->maximum, frame.image, open_->maximum);
    ++open_->images;
}

void SegmentWriter::ended() {
    finish();
    writer_.finish();
}

void SegmentWriter::finish() {
    if (open_ && !open_->maximum.empty()) writer_.hand({std::move(*open_), false});
    open_.reset();
}

std::string SegmentWriter::indexJson() const {
    const std::lock_guard<std::mutex> lock(publishing_);
    return indexJson_;
}

bool SegmentWriter::setExcluded(const std::string& file, bool excluded) {
    const std::lock_guard<std::mutex> lock(publishing_);
    if (std::find(files_.begin(), files_.end(), file) == files_.end()) return false;
    edits_[file] = excluded;
    // One job for all the edits that come before it is worked off; it
    // neither waits behind images nor is left out.
    if (!editsHanded_) editsHanded_ = writer_.hand({Open{}, true}, false);
    return true;
}

void SegmentWriter::work(Job& job) {
    if (job.edits)
        applyEdits();
    else
        write(job.segment);
}

// A person's say: the index and the star trail, composed again from the files.
void SegmentWriter::applyEdits() {
    std::map<std::string, bool> edits;
    {
        const std::lock_guard<std::mutex> lock(publishing_);
        edits.swap(edits_);
        editsHanded_ = false;
    }
    bool changed = false;
    for (const auto& [file, excluded] : edits)
        for (SegmentEntry& entry : night_.entries)
            if (entry.file == file) {
                changed = true;
                entry.excluded = excluded ? "by hand" : "";
            }
    if (!changed) return;
    const std::string folder = folder_ + "/" + segmentFolderName(night_.name);
    writeIndex(folder);
    night_.starTrail = composeSegments(folder, night_.entries, {}).image;
    writeStarTrail();
}

void SegmentWriter::writeIndex(const std::string& folder) {
    const std::string index = segmentIndexJson(night_.entries);
    if (const Result<> written =
            writeFileAtomically(folder + "/" + kSegmentIndex, {index.begin(), index.end()}, true);
        !written)
        said_.say("cannot write the segments in " + folder + ": " + written.reason());
    publishIndex(index);
}

void SegmentWriter::publishIndex(const std::string& index) {
    const std::lock_guard<std::mutex> lock(publishing_);
    indexJson_ = index;
    files_.clear();
    for (const SegmentEntry& e : night_.entries)
        files_.push_back(e.file);
}

void SegmentWriter::writeStarTrail() {
    if (night_.starTrail.empty()) return;
    const std::string path = folder_ + "/" + productBase(kStartrail, night_.name) + ".jpg";
    if (const Result<> written = writeImageAtomically(path, night_.starTrail, stretch_); !written)
        said_.say("cannot write " + path + ": " + written.reason());
}

// The night's index and star trail as a run before this one left them.
void SegmentWriter::takeUpNight(const std::string& night) {
    if (night_.name == night) return;
    night_ = {night, {}, cv::Mat()};
    const std::string folder = folder_ + "/" + segmentFolderName(night);
    removeLeftoverTemporaries(folder);  // of a write a power cut ended
    const std::string index = folder + "/" + kSegmentIndex;
    std::error_code error;
    if (!std::filesystem::exists(index, error)) return;
    Result<std::vector<SegmentEntry>> entries = readSegmentIndex(folder);
    if (!entries) {
        // Its entries are not dropped in silence: the file is kept beside the new index.
        const std::string aside = unusedName(folder + "/index-unreadable", ".json");
        std::filesystem::rename(index, aside, error);
        said_.say(index + " cannot be read (" + entries.reason() + "): kept as " + aside +
                  ", a new index starts");
        return;
    }
    night_.entries = *entries;
    publishIndex(segmentIndexJson(night_.entries));
    night_.starTrail = composeSegments(folder, night_.entries, {}).image;
}

void SegmentWriter::write(Open& segment) {
    const std::string night = nightOf(segment.start);
    takeUpNight(night);
    const std::string folder = folder_ + "/" + segmentFolderName(night);
    const Result<bool> written = writeSegment(segment, folder);
    if (!written) said_.say("cannot write the segments in " + folder + ": " + written.reason());
    if (!written || !*written) return;
    // The star trail takes the segment in, unless it is left out.
    const std::string name = segmentName(segment.start);
    const SegmentEntry& entry = *std::find_if(night_.entries.begin(), night_.entries.end(),
                                              [&name](const SegmentEntry& e) { return e.file == name; });
    if (entry.excluded.empty()) {
        if (night_.starTrail.empty())
            night_.starTrail = segment.maximum.clone();
        else if (night_.starTrail.size() == segment.maximum.size() &&
                 night_.starTrail.type() == segment.maximum.type())
            cv::max(night_.starTrail, segment.maximum, night_.starTrail);
    }
    writeStarTrail();
}

// The segment's file (with what a run before put there) and the index.
Result<bool> SegmentWriter::writeSegment(Open& segment, const std::string& folder) {
    if (const Result<> made = makeWritableFolder(folder); !made) return Failure{made.reason()};
    const std::string name = segmentName(segment.start);
    auto entry = std::find_if(night_.entries.begin(), night_.entries.end(),
                              [&name](const SegmentEntry& e) { return e.file == name; });
    if (entry != night_.entries.end() && (entry->startMillis != segment.start ||
                                          entry->endMillis != segment.start + int64_t{seconds_} * 1000)) {
        // A run with another length, or an index edited by hand: the entry
        // and its file stay as they are.
        said_.say("segment " + name + " spans another time in the index: its later images are left out");
        return false;
    }
    if (entry != night_.entries.end()) {
        const cv::Mat before = cv::imread(folder + "/" + name, cv::IMREAD_UNCHANGED);
        if (!before.empty() &&
            (before.size() != segment.maximum.size() || before.type() != segment.maximum.type())) {
            // The camera changed its images within the span: what is there stays.
            said_.say("segment " + name + " holds images of another size: its later images are left out");
            return false;
        }
        if (!before.empty()) cv::max(segment.maximum, before, segment.maximum);
        segment.images += entry->images;
        segment.rejected += entry->rejected;
    } else {
        SegmentEntry added;
        added.file = name;
        added.startMillis = segment.start;
        added.endMillis = segment.start + int64_t{seconds_} * 1000;
        entry = night_.entries.insert(std::upper_bound(night_.entries.begin(), night_.entries.end(), added,
                                                       [](const SegmentEntry& a, const SegmentEntry& b) {
                                                           return a.startMillis < b.startMillis;
                                                       }),
                                      added);
    }
    entry->images = segment.images;
    entry->rejected = segment.rejected;
    entry->background = medianLuminance(segment.maximum);
    const std::vector<SegmentEntry> earlier(night_.entries.begin(), entry);
    if (entry->excluded.empty() && hazy(entry->background, earlier, hazeMargin_)) entry->excluded = "hazy";
    if (quality_ != nullptr) {
        // The measurements done by now: one of the segment's last images may still be under way.
        entry->measured = true;
        if (const auto medians = quality_->between(entry->startMillis, entry->endMillis))
            entry->stars = medians->stars, entry->clear = medians->clear;
        // Not measured clear is not clear: a night overcast from dusk has no clear to compare.
        if (entry->excluded.empty() && minClear_ && (!entry->clear || *entry->clear < *minClear_))
            entry->excluded = "cloudy";
    }
    if (const Result<> written = writeImageAtomically(folder + "/" + name, segment.maximum); !written)
        return Failure{written.reason()};
    writeIndex(folder);
    return true;
}
