#include "core/Meteor.h"

#include "core/Json.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr double kLargestCoordinate = 1e6;  // pixels: far beyond any camera

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
    // Finite numbers within what the meteor holds: a value written as 1e39
    // would be read as infinity, written back as null, and then refused.
    const auto finite = [](const nlohmann::json& value, double limit) -> std::optional<double> {
        if (!value.is_number()) return std::nullopt;
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::abs(number) > limit) return std::nullopt;
        return number;
    };
    const auto pointOf = [&j, &finite](const char* name) -> std::optional<cv::Point2f> {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_array() || it->size() != 2) return std::nullopt;
        const std::optional<double> x = finite((*it)[0], kLargestCoordinate),
                                    y = finite((*it)[1], kLargestCoordinate);
        if (!x || !y) return std::nullopt;
        return cv::Point2f(static_cast<float>(*x), static_cast<float>(*y));
    };
    const auto number = [&j, &finite](const char* name, double limit) -> std::optional<double> {
        const auto it = j.find(name);
        if (it == j.end()) return std::nullopt;
        return finite(*it, limit);
    };
    const auto time = [&j](const char* name) -> std::optional<int64_t> {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_string()) return std::nullopt;
        return parseUtcTime(it->get<std::string>());
    };
    const std::optional<int64_t> start = time("start"), end = time("end");
    const std::optional<cv::Point2f> from = pointOf("from"), to = pointOf("to");
    const std::optional<double> frames = number("frames", INT32_MAX), length = number("length", 1e9),
                                speed = number("speed", 1e9), peak = number("peak", INT32_MAX);
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

std::string csvField(const std::string& text) {
    // A spreadsheet takes a field that starts so for a formula: kept text.
    const bool formula = !text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos;
    const std::string field = (formula ? "'" : "") + text;
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (const char c : field)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string meteorCsv(const Meteor& m) {
    return utcTimeMillis(m.startMillis) + "," + utcTimeMillis(m.endMillis) + "," +
           cv::format("%.1f,%.1f,%.1f,%.1f,%d,%.1f,%d,", m.from.x, m.from.y, m.to.x, m.to.y, m.frames,
                      m.speed, m.peak) +
           csvField(m.clip);
}
