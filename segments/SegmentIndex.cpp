#include "segments/SegmentIndex.h"

#include "core/Json.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

std::string segmentIndexJson(const std::vector<SegmentEntry>& entries) {
    std::string json = "[";
    for (const SegmentEntry& e : entries)
        json += (json.size() > 1 ? ",\n" : "\n") + std::string("{\"file\":") + jsonString(e.file) +
                ",\"start\":\"" + utcTimeMillis(e.startMillis) + "\",\"end\":\"" +
                utcTimeMillis(e.endMillis) + "\",\"images\":" + std::to_string(e.images) +
                ",\"rejected\":" + std::to_string(e.rejected) +
                ",\"background\":" + std::to_string(e.background) +
                ",\"excluded\":" + (e.excluded.empty() ? "null" : jsonString(e.excluded)) + "}";
    return json + "\n]\n";
}

namespace {

Result<std::vector<SegmentEntry>> segmentEntriesOf(const nlohmann::json& json) {
    if (!json.is_array()) return Failure{"not a segment index"};
    std::vector<SegmentEntry> entries;
    try {
        for (const nlohmann::json& e : json) {
            SegmentEntry entry;
            entry.file = e.at("file").get<std::string>();
            const auto start = parseUtcTime(e.at("start").get<std::string>());
            const auto end = parseUtcTime(e.at("end").get<std::string>());
            if (!start || !end || entry.file.find('/') != std::string::npos)
                return Failure{"a malformed segment"};
            entry.startMillis = *start, entry.endMillis = *end;
            entry.images = e.at("images").get<int32_t>();
            entry.rejected = e.at("rejected").get<int32_t>();
            entry.background = e.at("background").get<int>();
            if (!e.at("excluded").is_null()) entry.excluded = e.at("excluded").get<std::string>();
            entries.push_back(entry);
        }
    } catch (const nlohmann::json::exception&) {
        return Failure{"a malformed segment"};
    }
    return entries;
}

}  // namespace

Result<std::vector<SegmentEntry>> readSegmentIndex(const std::string& folder) {
    const std::optional<nlohmann::json> json = readJsonFile(folder + "/index.json", 16 << 20);
    if (!json) return Failure{folder + " has no readable index.json"};
    return segmentEntriesOf(*json);
}

int medianLuminance(const cv::Mat& image) {
    if (image.empty()) return 0;
    cv::Mat grey;
    if (image.channels() == 1)
        grey = image;
    else
        cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    int histogram[256] = {};
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            ++histogram[grey.at<uchar>(y, x)];
    const int64_t half = (static_cast<int64_t>(grey.total()) + 1) / 2;
    int64_t seen = 0;
    for (int level = 0; level < 256; ++level)
        if ((seen += histogram[level]) >= half) return level;
    return 255;
}

bool hazy(int background, const std::vector<SegmentEntry>& earlier, int margin) {
    if (earlier.empty()) return false;
    std::vector<int> levels;
    for (const SegmentEntry& e : earlier)
        levels.push_back(e.background);
    std::sort(levels.begin(), levels.end());
    const size_t n = levels.size();
    const double median = n % 2 == 1 ? levels[n / 2] : (levels[n / 2 - 1] + levels[n / 2]) / 2.0;
    return background > median + margin;
}

namespace {

// The segments a choice takes, in time order; the others counted by reason.
std::vector<const SegmentEntry*> segmentsTaken(const std::vector<SegmentEntry>& entries,
                                               const ComposeChoice& choice,
                                               std::map<std::string, int>& leftOut) {
    std::vector<const SegmentEntry*> taken;
    for (const SegmentEntry& e : entries) {
        const bool inRange =
            (!choice.from || e.startMillis >= *choice.from) && (!choice.to || e.startMillis < *choice.to);
        const bool excludedTime =
            std::any_of(choice.excludedRanges.begin(), choice.excludedRanges.end(),
                        [&e](const auto& r) { return e.startMillis < r.second && e.endMillis > r.first; });
        if (!inRange)
            ++leftOut["outside the times"];
        else if (!e.excluded.empty() && !choice.all)
            ++leftOut[e.excluded];
        else if (excludedTime)
            ++leftOut["in an excluded range"];
        else
            taken.push_back(&e);
    }
    return taken;
}

}  // namespace

Composed composeSegments(const std::string& folder, const std::vector<SegmentEntry>& entries,
                         const ComposeChoice& choice) {
    std::map<std::string, int> leftOut;
    const std::vector<const SegmentEntry*> taken = segmentsTaken(entries, choice, leftOut);
    Composed composed;
    // The first that decodes sets the size; the others are decoded on every
    // core, each thread keeping its own maximum (the maximum is the same in
    // any order).
    size_t first = 0;
    for (; first < taken.size() && composed.image.empty(); ++first) {
        composed.image = cv::imread(folder + "/" + taken[first]->file, cv::IMREAD_UNCHANGED);
        if (composed.image.empty()) ++leftOut["missing"];
    }
    if (!composed.image.empty()) composed.used = 1;
    std::atomic<size_t> next{first};
    std::mutex merging;
    const auto decode = [&] {
        cv::Mat own;
        std::map<std::string, int> ownLeftOut;
        int used = 0;
        for (size_t i; (i = next++) < taken.size();) {
            const cv::Mat image = cv::imread(folder + "/" + taken[i]->file, cv::IMREAD_UNCHANGED);
            if (image.empty()) {
                ++ownLeftOut["missing"];
            } else if (image.size() != composed.image.size() || image.type() != composed.image.type()) {
                ++ownLeftOut["of another size"];
            } else {
                own.empty() ? void(own = image) : cv::max(own, image, own);
                ++used;
            }
        }
        const std::lock_guard<std::mutex> lock(merging);
        if (!own.empty()) cv::max(composed.image, own, composed.image);
        composed.used += used;
        for (const auto& [reason, count] : ownLeftOut)
            leftOut[reason] += count;
    };
    std::vector<std::thread> threads;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 1; t < cores && first + t < taken.size(); ++t)
        threads.emplace_back(decode);
    decode();
    for (std::thread& t : threads)
        t.join();
    for (const char* reason :
         {"hazy", "by hand", "in an excluded range", "outside the times", "missing", "of another size"})
        if (leftOut.count(reason) > 0) composed.leftOut.emplace_back(reason, leftOut[reason]);
    return composed;
}

std::string composedLine(const Composed& composed, const std::string& out) {
    std::string line = "composed " + std::to_string(composed.used) + " segment" +
                       (composed.used == 1 ? "" : "s") + " into " + out;
    std::string reasons;
    for (const auto& [reason, count] : composed.leftOut)
        reasons += (reasons.empty() ? "; left out: " : ", ") + std::to_string(count) + " " + reason;
    return line + reasons;
}
