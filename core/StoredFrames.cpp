#include "core/StoredFrames.h"

#include <algorithm>
#include <limits>

void putStoredFrames(nlohmann::ordered_json& json, const StoredFrames& stored) {
    if (stored.fps > 0) json["fps"] = stored.fps;
    json["times"] = stored.times;
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    for (const StoredFrames::Place& place : stored.frames)
        frames.push_back({place.offset, place.size});
    json["frames"] = std::move(frames);
}

std::optional<StoredFrames> storedFramesOf(const nlohmann::json& json) {
    if (!json.is_object() || !json.contains("times") || !json["times"].is_array() ||
        !json.contains("frames") || !json["frames"].is_array())
        return std::nullopt;
    StoredFrames stored;
    const nlohmann::json& times = json["times"];
    const nlohmann::json& frames = json["frames"];
    const size_t count = std::min(times.size(), frames.size());
    if (count > kMostStoredFrames) return std::nullopt;
    constexpr int64_t kLastMillis = 253402300799999;  // 9999-12-31T23:59:59.999Z
    stored.times.reserve(count);
    stored.frames.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const nlohmann::json& place = frames[i];
        if (!times[i].is_number_integer() || !place.is_array() || place.size() != 2 ||
            !place[0].is_number_integer() || !place[1].is_number_integer())
            return std::nullopt;
        const int64_t time = times[i].get<int64_t>();
        const int64_t offset = place[0].get<int64_t>();
        const int64_t size = place[1].get<int64_t>();
        if (time < 0 || time > kLastMillis || offset < 0 || size <= 0 ||
            offset > std::numeric_limits<int64_t>::max() - size)
            return std::nullopt;
        stored.times.push_back(time);
        stored.frames.push_back({offset, size});
    }
    if (json.contains("fps") && json["fps"].is_number_integer()) stored.fps = json["fps"].get<int>();
    return stored;
}
