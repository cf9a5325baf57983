#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The names of every file the tool writes, defined once: the writers,
// retention and the web view all go by these.

// A write in progress: a hidden name beside the file it becomes, which a
// start clears after a crash.
std::string temporaryPathOf(const std::string& path);
bool isTemporaryName(const std::string& name);

// Snapshots: "12.jpg", and beside it its sidecar, time maps and panorama.
constexpr const char* kSnapshotSuffix = ".jpg";
constexpr const char* kSidecarSuffix = ".json";
constexpr const char* kTimeColoursSuffix = "-time.jpg";
constexpr const char* kTimeMapSuffix = "-time.tiff";
constexpr const char* kPanoramaSuffix = "-panorama.jpg";
constexpr const char* kSixteenBitSuffix = ".tiff";  // a 16-bit trail, lossless
std::string snapshotName(int32_t number, const std::string& suffix = kSnapshotSuffix);
// Every name a snapshot's files may have: "12.jpg", "12.json", "12-time.jpg", ...
std::vector<std::string> snapshotFileNames(int32_t number);
// Which snapshot a file name goes with, and as what: "12.jpg" is {12,
// ".jpg"}, "12-time.tiff" is {12, "-time.tiff"}; none for any other name.
struct SnapshotFileName {
    int32_t number;
    std::string suffix;
};
std::optional<SnapshotFileName> snapshotFileOf(const std::string& name);
// The start and end a sidecar gives, when it is one.
std::optional<std::pair<std::string, std::string>> sidecarTimes(const nlohmann::json& sidecar);

// Clips: "20261207-221320100" for a clip whose first image is of
// 2026-12-07T22:13:20.100Z, then "-2", "-3", ... when that is taken; with
// ".avi" and ".json".
std::string clipName(int64_t unixMillis);
// The time of a clip's first image from the name of its video or its JSON;
// none for other names.
std::optional<int64_t> clipTimeOf(const std::string& name);

// The night products: "keogram-2026-12-07.png" (and ".json"),
// "keogram-panorama-2026-12-07-2.png", "timelapse-2026-12-07.mkv" (and its
// index ".json"), ...
constexpr const char* kKeogram = "keogram";
constexpr const char* kKeogramPanorama = "keogram-panorama";
constexpr const char* kTimelapse = "timelapse";
constexpr const char* kStartrail = "startrail";  // "startrail-2026-12-07.jpg": the night's segments composed
constexpr const char* kMeteors = "meteors";      // "meteors-2026-12-07.json": the night's meteors
struct ProductFile {
    std::string name;
    std::string kind;   // kKeogram, kKeogramPanorama, kTimelapse, kStartrail or kMeteors
    std::string night;  // "2026-12-07"
    int64_t bytes;
};
// The first name of a kind's file for a night, without a "-2" or an extension.
std::string productBase(const std::string& kind, const std::string& night);
// A product's file by its name (bytes left 0); none for other names. Its
// sidecar (".json") is a product's file too, of the same kind and night.
std::optional<ProductFile> productOf(const std::string& name);

// The night's segments: in "segments-2026-12-07", one "20261207T221300Z.png"
// a segment, named by its start (UTC), and "index.json".
constexpr const char* kSegmentIndex = "index.json";
std::string segmentFolderName(const std::string& night);
// The night of a segment folder by its name; none for other names.
std::optional<std::string> segmentFolderNight(const std::string& name);
std::string segmentName(int64_t startMillis);
// The start of a segment by its file's name; none for other names.
std::optional<int64_t> segmentTimeOf(const std::string& name);

// The hot pixels found in the images, kept in the snapshot folder for the
// next run of the same camera.
constexpr const char* kHotPixelsFile = "hot-pixels.png";
