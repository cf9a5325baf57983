#include "core/FileNames.h"

#include "core/BoundedMatch.h"
#include "core/Json.h"
#include "core/TrailEvents.h"

#include <algorithm>
#include <cstdlib>
#include <regex>

namespace {

constexpr const char* kTemporaryPrefix = ".partial-";
constexpr const char* kSnapshotSuffixes[] = {kSnapshotSuffix, kSidecarSuffix,  kTimeColoursSuffix,
                                             kTimeMapSuffix,  kPanoramaSuffix, kSixteenBitSuffix};

}  // namespace

std::string temporaryPathOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    return folder + "/" + kTemporaryPrefix + (slash == std::string::npos ? path : path.substr(slash + 1));
}

bool isTemporaryName(const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; }

std::string snapshotName(int32_t number, const std::string& suffix) {
    return std::to_string(number) + suffix;
}

std::vector<std::string> snapshotFileNames(int32_t number) {
    std::vector<std::string> names;
    for (const char* suffix : kSnapshotSuffixes)
        names.push_back(snapshotName(number, suffix));
    return names;
}

std::optional<SnapshotFileName> snapshotFileOf(const std::string& name) {
    const size_t digits = std::min(name.find_first_not_of("0123456789"), name.size());
    if (digits == 0 || digits > 5 || (digits > 1 && name[0] == '0')) return std::nullopt;
    const int number = std::atoi(name.c_str());
    const std::string suffix = name.substr(digits);
    if (number > kLastSnapshotNumber || std::find(std::begin(kSnapshotSuffixes), std::end(kSnapshotSuffixes),
                                                  suffix) == std::end(kSnapshotSuffixes))
        return std::nullopt;
    return SnapshotFileName{number, suffix};
}

std::optional<std::pair<std::string, std::string>> sidecarTimes(const nlohmann::json& sidecar) {
    if (!sidecar.is_object()) return std::nullopt;
    const auto start = sidecar.find("start"), end = sidecar.find("end");
    if (start == sidecar.end() || end == sidecar.end() || !start->is_string() || !end->is_string())
        return std::nullopt;
    return std::pair{start->get<std::string>(), end->get<std::string>()};
}

std::string clipName(int64_t unixMillis) {
    // "2026-12-07T22:13:20.100Z" without its separators.
    const std::string t = utcTimeMillis(unixMillis);
    return t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) + "-" + t.substr(11, 2) + t.substr(14, 2) +
           t.substr(17, 2) + t.substr(20, 3);
}

std::optional<int64_t> clipTimeOf(const std::string& name) {
    static const std::regex clip(
        R"(([0-9]{4})([0-9]{2})([0-9]{2})-([0-9]{2})([0-9]{2})([0-9]{2})([0-9]{3})(-[1-9][0-9]{0,4})?\.(avi|json))");
    std::smatch m;
    if (!boundedMatch(name, m, clip)) return std::nullopt;
    return parseUtcTime(m[1].str() + "-" + m[2].str() + "-" + m[3].str() + "T" + m[4].str() + ":" +
                        m[5].str() + ":" + m[6].str() + "." + m[7].str() + "Z");
}

std::string productBase(const std::string& kind, const std::string& night) { return kind + "-" + night; }

std::optional<ProductFile> productOf(const std::string& name) {
    static const std::regex product(
        R"((keogram|keogram-panorama|timelapse|startrail|meteors)-([0-9]{4}-[0-9]{2}-[0-9]{2})(-[0-9]{1,4})?\.(png|json|mkv|jpg))");
    std::smatch match;
    if (!boundedMatch(name, match, product) || (match[4] == "mkv" && match[1] != kTimelapse) ||
        (match[1] == kTimelapse && match[4] != "mkv" && match[4] != "json") ||
        (match[4] == "jpg") != (match[1] == kStartrail) ||
        (match[1] == kStartrail && match[3].length() > 0) || (match[1] == kMeteors && match[4] != "json"))
        return std::nullopt;
    return ProductFile{name, match[1], match[2], 0};
}

std::string segmentFolderName(const std::string& night) { return "segments-" + night; }

std::optional<std::string> segmentFolderNight(const std::string& name) {
    static const std::regex folder(R"(segments-([0-9]{4}-[0-9]{2}-[0-9]{2}))");
    std::smatch match;
    if (!boundedMatch(name, match, folder)) return std::nullopt;
    return match[1].str();
}

std::string segmentName(int64_t startMillis) {
    // "2026-12-07T22:13:00Z" without its dashes and colons.
    const std::string t = utcTime(startMillis >= 0 ? startMillis / 1000 : (startMillis - 999) / 1000);
    return t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 5) + t.substr(14, 2) + t.substr(17, 3) + ".png";
}

std::optional<int64_t> segmentTimeOf(const std::string& name) {
    static const std::regex segment(R"(([0-9]{4})([0-9]{2})([0-9]{2})T([0-9]{2})([0-9]{2})([0-9]{2})Z\.png)");
    std::smatch m;
    if (!boundedMatch(name, m, segment)) return std::nullopt;
    return parseUtcTime(m[1].str() + "-" + m[2].str() + "-" + m[3].str() + "T" + m[4].str() + ":" +
                        m[5].str() + ":" + m[6].str() + "Z");
}
