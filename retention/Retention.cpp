#include "retention/Retention.h"

#include "core/BoundedMatch.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/Night.h"
#include "platform/Threads.h"

#include <algorithm>
#include <regex>

namespace {

constexpr int64_t kDayMillis = 24 * 3600 * 1000;
constexpr int64_t kRecentMillis = 120000;
// No write takes this long: a temporary this old was left by a crash or a power cut.
constexpr int64_t kLeftoverMillis = 3600000;
constexpr int64_t kCheckEveryMillis = 60000;

}  // namespace

Retention::Retention(std::string snapshotFolder, std::string clipsFolder, RetentionPolicy policy, FILE* err,
                     const FilesInUse* inUse, FileSystem& files, const WallClock& clock)
    : snapshotFolder_(std::move(snapshotFolder)),
      clipsFolder_(std::move(clipsFolder)),
      policy_(policy),
      err_(err),
      inUse_(inUse),
      files_(files),
      clock_(clock),
      checks_({"trailcam-retain", WhenFull::keepNewest, 1, lowerThisThreadsPriority},
              [this](int&) { enforce(clock_.millis()); }) {}

std::optional<int64_t> Retention::parseSize(const std::string& text) {
    static const std::regex size("([0-9]{1,15})([KMGT]?)");
    std::smatch match;
    if (!boundedMatch(text, match, size)) return std::nullopt;
    const std::string units = "KMGT";
    const auto power = match[2].length() == 0 ? 0 : units.find(match[2].str()[0]) + 1;
    int64_t bytes = std::stoll(match[1]);
    for (size_t i = 0; i < power; ++i) {
        if (bytes > (INT64_MAX >> 10)) return std::nullopt;
        bytes <<= 10;
    }
    return bytes;
}

int64_t Retention::sidecarStart(const std::string& path, int64_t modifiedNanos, int64_t otherwise) {
    const auto known = starts_.find(path);
    if (known != starts_.end() && known->second.first == modifiedNanos)
        return known->second.second.value_or(otherwise);
    const std::optional<std::string> text = files_.read(path, 65536);
    const std::optional<nlohmann::json> sidecar = text ? parseJson(*text) : std::nullopt;
    const auto times = sidecar ? sidecarTimes(*sidecar) : std::nullopt;
    const std::optional<int64_t> start = times ? parseUtcTime(times->first) : std::nullopt;
    starts_[path] = {modifiedNanos, start};
    return start.value_or(otherwise);
}

namespace {

enum class Kind { snapshots, clips, segments };

// Which group a file of a folder goes in, and what its name tells.
struct Grouping {
    std::string key;  // "t": a write in progress, "g" a segment, "c" a clip, "s" a snapshot, "p" a product
    std::string suffix;
    int64_t millisOfName = 0;
    int32_t number = -1;  // a snapshot's
};

std::optional<Grouping> groupingOf(const std::string& name, const std::string& folder, Kind kind,
                                   bool clipsBesideSnapshots) {
    if (isTemporaryName(name)) {
        if (kind == Kind::clips && clipsBesideSnapshots) return std::nullopt;  // counted once
        return Grouping{"t" + folder + "/" + name, "", 0, -1};  // a write in progress: counted, kept
    }
    if (kind == Kind::segments) {
        const auto time = segmentTimeOf(name);
        if (!time) return std::nullopt;  // the index stays with the folder
        return Grouping{"g" + folder + "/" + name, "", *time, -1};
    }
    if (kind == Kind::clips) {
        const auto time = clipTimeOf(name);
        if (!time) return std::nullopt;
        return Grouping{"c" + name.substr(0, name.find('.')), "", *time, -1};
    }
    if (const auto file = snapshotFileOf(name))
        return Grouping{"s" + std::to_string(file->number), file->suffix, 0, file->number};
    if (const auto product = productOf(name))
        return Grouping{"p" + name.substr(0, name.rfind('.')), "", nightStart(product->night), -1};
    return std::nullopt;
}

}  // namespace

// The tool's own files, as the groups that go together, oldest first.
std::vector<Retention::Group> Retention::groups() {
    std::map<std::string, Group> found;
    const int64_t now = clock_.millis();
    std::map<std::string, int64_t> sidecars;  // a snapshot's key: its sidecar's modification time
    const auto scan = [&](const std::string& folder, Kind kind) {
        for (const FileEntry& entry : files_.list(folder)) {
            const std::string path = folder + "/" + entry.name;
            const std::optional<Grouping> g = groupingOf(entry.name, folder, kind, folder == snapshotFolder_);
            if (!g) continue;
            const int64_t modified = entry.modifiedNanos;
            const int64_t age = now - modified / 1000000;
            Group& group = found[g->key];
            group.snapshot = g->number >= 0;
            group.number = g->number;
            group.files.push_back(path);
            group.bytes += entry.bytes;
            group.leftover = g->key[0] == 't' && age >= kLeftoverMillis;
            group.kept = group.kept || (g->key[0] == 't' && !group.leftover) ||
                         (age >= 0 && age < kRecentMillis) || (inUse_ != nullptr && inUse_->held(path));
            if (g->number < 0) group.millis = g->millisOfName;
            if (g->suffix == kSnapshotSuffix)
                group.millis = group.modifiedMillis = modified / 1000000;  // unless its sidecar tells
            if (g->suffix == kSidecarSuffix) sidecars[g->key] = modified;
        }
    };
    scan(snapshotFolder_, Kind::snapshots);
    for (const std::string& sub : files_.folders(snapshotFolder_))
        if (segmentFolderNight(sub)) scan(snapshotFolder_ + "/" + sub, Kind::segments);
    if (!clipsFolder_.empty()) scan(clipsFolder_, Kind::clips);
    for (const auto& [key, modified] : sidecars) {
        Group& group = found[key];
        group.millis =
            sidecarStart(snapshotFolder_ + "/" + key.substr(1) + kSidecarSuffix, modified, group.millis);
    }
    std::vector<Group> groups;
    for (auto& [key, group] : found)
        groups.push_back(std::move(group));
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group& a, const Group& b) { return a.millis < b.millis; });
    return groups;
}

bool Retention::waitingUpload(const Group& group) const {
    return waiting_ != nullptr &&
           std::any_of(group.files.begin(), group.files.end(),
                       [this](const std::string& path) { return waiting_->waiting(path); });
}

void Retention::enforce(int64_t nowMillis) {
    const std::lock_guard<std::mutex> lock(enforcing_);
    std::vector<Group> all = groups();
    // The newest snapshot stays, whatever the policy says: the one this run
    // wrote last, else the newest by modification time, as numbering has it.
    const int32_t last = lastWritten_;
    Group* newest = nullptr;
    for (Group& group : all) {
        if (!group.snapshot || group.modifiedMillis == 0) continue;  // a JPEG's group only
        if (group.number == last) {
            newest = &group;
            break;
        }
        if (newest == nullptr || group.modifiedMillis > newest->modifiedMillis ||
            (group.modifiedMillis == newest->modifiedMillis && group.number > newest->number))
            newest = &group;
    }
    if (newest != nullptr) newest->kept = true;
    int64_t total = 0;
    for (const Group& group : all)
        total += group.bytes;
    int64_t files = 0, deleted = 0;
    for (Group& group : all) {
        const bool old = policy_.keepDays &&
                         group.millis < nowMillis - static_cast<int64_t>(*policy_.keepDays * kDayMillis);
        const bool overfull = policy_.maxBytes && total > *policy_.maxBytes;
        group.waiting = waitingUpload(group);
        if (group.kept || !(old || overfull || group.leftover) || (group.waiting && !overfull)) {
            files += static_cast<int64_t>(group.files.size());
            continue;
        }
        std::sort(group.files.begin(), group.files.end());
        std::string others;
        for (size_t i = 1; i < group.files.size(); ++i)
            others +=
                (others.empty() ? " (and " : ", ") + group.files[i].substr(group.files[i].rfind('/') + 1);
        for (const std::string& file : group.files) {
            deleted += files_.remove(file) ? 1 : 0;
            starts_.erase(file);
        }
        total -= group.bytes;
        std::fprintf(err_, "retention: deleted %s%s%s%s\n", group.files[0].c_str(), others.c_str(),
                     others.empty() ? "" : ")",
                     group.waiting    ? " before it was uploaded"
                     : group.leftover ? ", left by an interrupted write"
                     : old            ? ", older than --keep-days"
                                      : ", beyond --max-disk");
    }
    std::fflush(err_);
    kept_ = files;
    bytes_ = total;
    deleted_ += deleted;
}

// Checked after each snapshot, written or not (a full disk is a reason).
void Retention::snapshotDue(const SnapshotDue&) { checks_.hand(0); }

void Retention::snapshotWritten(const SnapshotDue& due) { lastWritten_ = due.number; }

void Retention::ticked(const Tick& tick) {
    if (tick.frame.millis - checkedAt_ < kCheckEveryMillis && tick.frame.millis >= checkedAt_) return;
    checkedAt_ = tick.frame.millis;
    checks_.hand(0);
}

RetentionSummary Retention::summary() const { return {kept_, bytes_, deleted_}; }

std::string Retention::summaryJson() const {
    const RetentionSummary s = summary();
    return "\"retention\":{\"files\":" + std::to_string(s.files) + ",\"bytes\":" + std::to_string(s.bytes) +
           ",\"deleted\":" + std::to_string(s.deleted) + "}";
}
