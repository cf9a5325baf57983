#include "meteors/MeteorLog.h"

#include "core/FileNames.h"
#include "core/Json.h"
#include "core/Night.h"
#include "platform/Files.h"

#include <algorithm>
#include <filesystem>

namespace {

constexpr size_t kLargestMeteorFile = 4 << 20;

bool earlier(const Meteor& a, const Meteor& b) { return a.startMillis < b.startMillis; }

}  // namespace

Result<std::vector<Meteor>> readMeteorFile(const std::string& path) {
    std::error_code error;
    if (const auto size = std::filesystem::file_size(path, error); !error && size > kLargestMeteorFile)
        return Failure{path + " is larger than 4 MB"};
    const std::optional<nlohmann::json> json = readJsonFile(path, kLargestMeteorFile);
    if (!json || !json->is_array()) return Failure{path + " is no JSON array"};
    std::vector<Meteor> meteors;
    for (const nlohmann::json& item : *json) {
        std::optional<Meteor> meteor = meteorOf(item.dump());
        if (!meteor) return Failure{path + " holds something that is no meteor"};
        meteors.push_back(std::move(*meteor));
    }
    std::stable_sort(meteors.begin(), meteors.end(), earlier);
    return meteors;
}

Result<MeteorNight> readMeteorNight(const std::string& folder, const std::string& night) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (const std::optional<ProductFile> product = productOf(name);
            product && product->kind == kMeteors && product->night == night)
            files.push_back(entry.path().string());
    }
    if (error) return Failure{"cannot read " + folder + ": " + error.message()};
    if (files.empty()) return Failure{"no meteors of the night " + night + " in " + folder};
    std::sort(files.begin(), files.end());
    MeteorNight all;
    for (const std::string& file : files) {
        Result<std::vector<Meteor>> meteors = readMeteorFile(file);
        if (!meteors)
            all.unreadable.push_back(meteors.reason());
        else
            all.meteors.insert(all.meteors.end(), meteors->begin(), meteors->end());
    }
    std::stable_sort(all.meteors.begin(), all.meteors.end(), earlier);
    return all;
}

std::optional<std::string> latestMeteorNight(const std::string& folder) {
    std::optional<std::string> latest;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (const std::optional<ProductFile> product = productOf(entry.path().filename().string());
            product && product->kind == kMeteors && (!latest || product->night > *latest))
            latest = product->night;
    return latest;
}

void MeteorLog::open(const std::string& night) {
    night_ = night;
    meteors_.clear();
    const std::string base = folder_ + "/" + productBase(kMeteors, night);
    path_ = base + ".json";
    std::error_code error;
    if (!std::filesystem::exists(path_, error)) return;
    Result<std::vector<Meteor>> earlier = readMeteorFile(path_);
    if (earlier) {
        meteors_ = std::move(*earlier);
        return;
    }
    const std::string other = unusedBase(base, {".json"}) + ".json";
    std::fprintf(err_, "meteors: %s: keeping it, going on in %s\n", earlier.reason().c_str(), other.c_str());
    std::fflush(err_);
    path_ = other;
}

std::pair<std::string, std::string> MeteorLog::file() const {
    std::string text = "[";
    for (const Meteor& meteor : meteors_)
        text += (text.size() > 1 ? ",\n" : "\n") + meteorJson(meteor);
    return {path_, text + "\n]\n"};
}

std::pair<std::string, std::string> MeteorLog::add(const Meteor& meteor) {
    if (const std::string night = nightOf(meteor.startMillis); night != night_) open(night);
    Meteor kept = meteor;
    kept.thumbnail = nullptr;  // the file has none
    meteors_.insert(std::upper_bound(meteors_.begin(), meteors_.end(), kept, earlier), std::move(kept));
    return file();
}

std::optional<std::pair<std::string, std::string>> MeteorLog::clipped(const std::string& clip,
                                                                      int64_t firstMillis,
                                                                      int64_t lastMillis) {
    bool changed = false;
    for (Meteor& meteor : meteors_)
        if (clipOf(meteor, firstMillis, lastMillis)) meteor.clip = clip, changed = true;
    if (!changed) return std::nullopt;
    return file();
}

size_t MeteorLog::between(int64_t fromMillis, int64_t toMillis) const {
    return static_cast<size_t>(std::count_if(meteors_.begin(), meteors_.end(), [=](const Meteor& m) {
        return m.startMillis >= fromMillis && m.startMillis < toMillis;
    }));
}
