#include "core/StoredFrames.h"

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
    for (size_t i = 0; i < times.size() && i < frames.size(); ++i) {
        const nlohmann::json& place = frames[i];
        if (!times[i].is_number_integer() || !place.is_array() || place.size() != 2 ||
            !place[0].is_number_integer() || !place[1].is_number_integer() || place[0].get<int64_t>() < 0 ||
            place[1].get<int64_t>() <= 0)
            return std::nullopt;
        stored.times.push_back(times[i].get<int64_t>());
        stored.frames.push_back({place[0].get<int64_t>(), place[1].get<int64_t>()});
    }
    if (json.contains("fps") && json["fps"].is_number_integer()) stored.fps = json["fps"].get<int>();
    return stored;
}
