#include "retention/Retention.h"

#include "core/Json.h"
#include "platform/Clocks.h"
#include "products/ProductFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kDayMillis = 24 * 3600 * 1000;
constexpr int64_t kRecentMillis = 120000;
constexpr int64_t kCheckEveryMillis = 60000;

int64_t modifiedMillis(const fs::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return 0;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

// The start a snapshot's sidecar gives.
std::optional<int64_t> sidecarStart(const fs::path& sidecar) {
    std::ostringstream text;
    text << std::ifstream(sidecar).rdbuf();
    static const std::regex start(R"re("start":"([^"]+)")re");
    std::smatch match;
    const std::string json = text.str();
    if (!std::regex_search(json, match, start)) return std::nullopt;
    return parseUtcTime(match[1]);
}

// Local noon of a night's date, "2026-12-07".
int64_t nightMillis(const std::string& date) {
    std::tm local{};
    if (std::sscanf(date.c_str(), "%4d-%2d-%2d", &local.tm_year, &local.tm_mon, &local.tm_mday) != 3)
        return 0;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * 1000;
}

}  // namespace

Retention::Retention(std::string snapshotFolder, std::string clipsFolder, RetentionPolicy policy, FILE* err)
    : snapshotFolder_(std::move(snapshotFolder)),
      clipsFolder_(std::move(clipsFolder)),
      policy_(policy),
      err_(err) {}

std::optional<int64_t> Retention::parseSize(const std::string& text) {
    static const std::regex size("([0-9]{1,15})([KMGT]?)");
    std::smatch match;
    if (!std::regex_match(text, match, size)) return std::nullopt;
    const std::string units = "KMGT";
    const auto power = match[2].length() == 0 ? 0 : units.find(match[2].str()[0]) + 1;
    int64_t bytes = std::stoll(match[1]);
    for (size_t i = 0; i < power; ++i) {
        if (bytes > (INT64_MAX >> 10)) return std::nullopt;
        bytes <<= 10;
    }
    return bytes;
}

// The tool's own files, as the groups that go together.
std::vector<Retention::Group> Retention::groups() const {
    static const std::regex snapshot(
        R"((0|[1-9][0-9]{0,4})(\.jpg|\.json|-time\.jpg|-time\.tiff|-panorama\.jpg))");
    static const std::regex product(R"((.*)\.(png|json|mkv))");
    static const std::regex clip(R"(([0-9]{8}-[0-9]{9})\.(avi|json))");
    std::map<std::string, Group> found;
    const int64_t now = millis();
    const auto add = [&found, now](const std::string& key, const fs::path& path, bool isSnapshot) {
        Group& group = found[key];
        group.snapshot = isSnapshot;
        group.files.push_back(path);
        std::error_code error;
        group.bytes += static_cast<int64_t>(fs::file_size(path, error));
        group.recent = group.recent || now - modifiedMillis(path) < kRecentMillis;
    };
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(snapshotFolder_, error)) {
        if (!entry.is_regular_file(error)) continue;
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (std::regex_match(name, match, snapshot) && std::stol(match[1]) <= kLastSnapshotNumber)
            add("s" + match[1].str(), entry.path(), true);
        else if (isProductName(name) && std::regex_match(name, match, product))
            add("p" + match[1].str(), entry.path(), false);
    }
    if (!clipsFolder_.empty())
        for (const auto& entry : fs::directory_iterator(clipsFolder_, error)) {
            const std::string name = entry.path().filename().string();
            std::smatch match;
            if (entry.is_regular_file(error) && std::regex_match(name, match, clip))
                add("c" + match[1].str(), entry.path(), false);
        }
    std::vector<Group> groups;
    for (auto& [key, group] : found) {
        const std::string name = key.substr(1);
        if (key[0] == 's') {
            const fs::path sidecar = fs::path(snapshotFolder_) / (name + ".json");
            const auto start = fs::exists(sidecar, error) ? sidecarStart(sidecar) : std::nullopt;
            group.millis = start ? *start : modifiedMillis(fs::path(snapshotFolder_) / (name + ".jpg"));
        } else if (key[0] == 'c') {
            group.millis =
                parseUtcTime(name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2) + "T" +
                             name.substr(9, 2) + ":" + name.substr(11, 2) + ":" + name.substr(13, 2) + "." +
                             name.substr(15, 3) + "Z")
                    .value_or(0);
        } else {
            static const std::regex date(R"(([0-9]{4}-[0-9]{2}-[0-9]{2}))");
            std::smatch match;
            group.millis = std::regex_search(name, match, date) ? nightMillis(match[1]) : 0;
        }
        groups.push_back(std::move(group));
    }
    std::sort(groups.begin(), groups.end(),
              [](const Group& a, const Group& b) { return a.millis < b.millis; });
    return groups;
}

void Retention::enforce(int64_t nowMillis) {
    std::vector<Group> all = groups();
    // The newest snapshot stays, whatever the policy says.
    const auto newest = std::find_if(all.rbegin(), all.rend(), [](const Group& g) { return g.snapshot; });
    if (newest != all.rend()) newest->recent = true;
    int64_t total = 0;
    for (const Group& group : all)
        total += group.bytes;
    int64_t files = 0, deleted = 0;
    for (Group& group : all) {
        const bool old = policy_.keepDays &&
                         group.millis < nowMillis - static_cast<int64_t>(*policy_.keepDays * kDayMillis);
        const bool overfull = policy_.maxBytes && total > *policy_.maxBytes;
        if (group.recent || !(old || overfull)) {
            files += static_cast<int64_t>(group.files.size());
            continue;
        }
        std::sort(group.files.begin(), group.files.end());
        std::string others;
        for (size_t i = 1; i < group.files.size(); ++i)
            others += (others.empty() ? " (and " : ", ") + group.files[i].filename().string();
        std::error_code error;
        for (const fs::path& file : group.files)
            deleted += fs::remove(file, error) ? 1 : 0;
        total -= group.bytes;
        std::fprintf(err_, "retention: deleted %s%s%s, %s\n", group.files[0].c_str(), others.c_str(),
                     others.empty() ? "" : ")", old ? "older than --keep-days" : "beyond --max-disk");
    }
    std::fflush(err_);
    files_ = files;
    bytes_ = total;
    deleted_ += deleted;
}

void Retention::snapshotDue(const SnapshotDue&) { enforce(millis()); }

void Retention::ticked(const Tick& tick) {
    if (tick.frame.millis - checkedAt_ < kCheckEveryMillis) return;
    checkedAt_ = tick.frame.millis;
    enforce(millis());
}

RetentionSummary Retention::summary() const { return {files_, bytes_, deleted_}; }

std::string Retention::summaryJson() const {
    const RetentionSummary s = summary();
    return "\"retention\":{\"files\":" + std::to_string(s.files) + ",\"bytes\":" + std::to_string(s.bytes) +
           ",\"deleted\":" + std::to_string(s.deleted) + "}";
}
