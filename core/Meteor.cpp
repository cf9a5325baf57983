#include "core/Meteor.h"

#include "core/Json.h"

namespace {

std::string point(const cv::Point2f& p) {
    return "[" + jsonNumber(p.x, "%.1f") + "," + jsonNumber(p.y, "%.1f") + "]";
}

}  // namespace

const char* const kMeteorCsvHeader = "start,end,x1,y1,x2,y2,frames,speed,peak,clip";

std::string meteorJson(const Meteor& m) {
    return "{\"start\":\"" + utcTimeMillis(m.startMillis) + "\",\"end\":\"" + utcTimeMillis(m.endMillis) +
           "\",\"from\":" + point(m.from) + ",\"to\":" + point(m.to) +
           ",\"frames\":" + std::to_string(m.frames) + ",\"length\":" + jsonNumber(m.length, "%.1f") +
           ",\"speed\":" + jsonNumber(m.speed, "%.1f") + ",\"peak\":" + std::to_string(m.peak) +
           ",\"clip\":" + (m.clip.empty() ? "null" : jsonString(m.clip)) + "}";
}

std::optional<Meteor> meteorOf(const std::string& text) {
    const std::optional<nlohmann::json> json = parseJson(text);
    if (!json || !json->is_object()) return std::nullopt;
    const nlohmann::json& j = *json;
    const auto pointOf = [&j](const char* name) -> std::optional<cv::Point2f> {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_array() || it->size() != 2 || !(*it)[0].is_number() ||
            !(*it)[1].is_number())
            return std::nullopt;
        return cv::Point2f((*it)[0].get<float>(), (*it)[1].get<float>());
    };
    const auto number = [&j](const char* name) -> std::optional<double> {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_number()) return std::nullopt;
        return it->get<double>();
    };
    const auto time = [&j](const char* name) -> std::optional<int64_t> {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_string()) return std::nullopt;
        return parseUtcTime(it->get<std::string>());
    };
    const std::optional<int64_t> start = time("start"), end = time("end");
    const std::optional<cv::Point2f> from = pointOf("from"), to = pointOf("to");
    const std::optional<double> frames = number("frames"), length = number("length"), speed = number("speed"),
                                peak = number("peak");
    if (!start || !end || !from || !to || !frames || !length || !speed || !peak) return std::nullopt;
    Meteor m;
    m.startMillis = *start, m.endMillis = *end;
    m.from = *from, m.to = *to;
    m.frames = static_cast<int32_t>(*frames), m.length = *length, m.speed = *speed;
    m.peak = static_cast<int32_t>(*peak);
    if (const auto clip = j.find("clip"); clip != j.end() && clip->is_string())
        m.clip = clip->get<std::string>();
    return m;
}

std::string meteorCsv(const Meteor& m) {
    return utcTimeMillis(m.startMillis) + "," + utcTimeMillis(m.endMillis) + "," +
           cv::format("%.1f,%.1f,%.1f,%.1f,%d,%.1f,%d,", m.from.x, m.from.y, m.to.x, m.to.y, m.frames,
                      m.speed, m.peak) +
           m.clip;
}
