#pragma once

#include "core/FileNames.h"
#include "core/StoredFrames.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The images of the videos the tool wrote (the night's timelapse, the
// clips), served one by one as they are stored: their places come from the
// video's JSON, read again only when it changed. Serving thread only.
class VideoFrames {
public:
    struct Listing {
        StoredFrames stored;
        std::string times;  // the times as a JSON array of UTC times, made once
    };
    // The JSON's listing, of a file of this folder opened by its own rules
    // (no link, no file of another user); none when there is no such JSON.
    // Shared, not copied: a night's listing may hold a hundred thousand images.
    std::shared_ptr<const Listing> listing(int fd, const std::string& key);

private:
    struct Kept {
        int64_t size = 0;
        int64_t modifiedNanos = 0;
        std::shared_ptr<const Listing> listing;
    };
    std::map<std::string, Kept> kept_;
};

// A night's name as a request may give it: "YYYY-MM-DD".
bool isNightName(const std::string& text);
// A frame's number from the rest of an address ("12.jpg"); none unless it
// is decimal digits (at most nine) and ".jpg".
std::optional<int64_t> frameNumberOf(const std::string& rest);

// A night's product of a kind among those listed: the newest part ("-2",
// "-3", ... after a restart); none when the night has none.
std::optional<ProductFile> newestPart(const std::vector<ProductFile>& products, const std::string& kind,
                                      const std::string& night);
// The night's timelapse in a folder, without extension.
std::optional<std::string> timelapseOf(const std::string& folder, const std::string& night);
