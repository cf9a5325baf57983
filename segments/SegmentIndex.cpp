#include "segments/SegmentIndex.h"

#include "core/Json.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

std::string segmentIndexJson(const std::vector<SegmentEntry>& entries) {
    std::string json = "[";
    for (const SegmentEntry& e : entries)
        json +=
            (json.size() > 1 ? ",\n" : "\n") + std::string("{\"file\":") + jsonString(e.file) +
            ",\"start\":\"" + utcTimeMillis(e.startMillis) + "\",\"end\":\"" + utcTimeMillis(e.endMillis) +
            "\",\"images\":" + std::to_string(e.images) + ",\"rejected\":" + std::to_string(e.rejected) +
            ",\"background\":" + std::to_string(e.background) +
            ",\"excluded\":" + (e.excluded.empty() ? "null" : jsonString(e.excluded)) +
            (e.measured
                 ? ",\"stars\":" + jsonNumber(e.stars, "%.1f") + ",\"clear\":" + jsonNumber(e.clear, "%.2f")
                 : std::string()) +
            "}";
    return json + "\n]\n";
}

namespace {

// A count or level as a whole number from 0 to the largest int32; anything
// else (a fraction, 1e300, a text) makes the segment malformed.
int32_t whole(const nlohmann::json& entry, const char* key) {
    const nlohmann::json& value = entry.at(key);
    if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > INT32_MAX)
        throw std::invalid_argument(key);
    return static_cast<int32_t>(value.get<int64_t>());
}

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
            entry.images = whole(e, "images");
            entry.rejected = whole(e, "rejected");
            entry.background = whole(e, "background");
            if (!e.at("excluded").is_null()) entry.excluded = e.at("excluded").get<std::string>();
            for (const auto& [key, into] : {std::pair{"stars", &entry.stars}, {"clear", &entry.clear}}) {
                const auto found = e.find(key);
                if (found == e.end()) continue;
                entry.measured = true;
                if (found->is_number() && std::isfinite(found->get<double>()))
                    *into = found->get<double>();
                else if (!found->is_null())
                    return Failure{"a malformed segment"};
            }
            entries.push_back(entry);
        }
    } catch (const std::exception&) {
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
    if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U, 1.0 / 257);  // in 8-bit levels, as the haze margin
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
    std::set<std::string> seen;
    for (const SegmentEntry& e : entries) {
        if (!seen.insert(e.file).second) {
            ++leftOut["listed twice"];
            continue;
        }
        const bool inRange =
            (!choice.from || e.startMillis >= *choice.from) && (!choice.to || e.startMillis < *choice.to);
        const bool excludedTime =
            std::any_of(choice.excludedRanges.begin(), choice.excludedRanges.end(),
                        [&e](const auto& r) { return e.startMillis < r.second && e.endMillis > r.first; });
        if (!inRange)
            ++leftOut["outside the times"];
        else if (!e.excluded.empty() && !choice.all)
            ++leftOut[e.excluded];
        else if (choice.minClear && e.measured && (!e.clear || *e.clear < *choice.minClear))
            ++leftOut["cloudy"];
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
    // The known reasons in their order, then any other an index gives.
    for (const char* reason : {"hazy", "cloudy", "by hand", "in an excluded range", "outside the times",
                               "missing", "of another size", "listed twice"})
        if (const auto found = leftOut.find(reason); found != leftOut.end()) {
            composed.leftOut.emplace_back(reason, found->second);
            leftOut.erase(found);
        }
    for (const auto& [reason, count] : leftOut)
        composed.leftOut.emplace_back(reason, count);
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
