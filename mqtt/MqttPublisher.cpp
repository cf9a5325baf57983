#include "mqtt/MqttPublisher.h"

#include "core/BoundedMatch.h"
#include "core/Json.h"
#include "core/Sidecar.h"

#include <mosquitto.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

constexpr size_t kWaitingEvents = 100;
constexpr int kKeepAliveSeconds = 30;

// libmosquitto is set up once for the process.
struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

}  // namespace

Result<> MqttPublisher::parseUrl(const std::string& url, MqttSettings& settings) {
    static const std::regex pattern(R"((mqtts?)://([^/:@\s]+|\[[0-9a-fA-F:]+\])(:([0-9]{1,5}))?/?)");
    std::smatch match;
    if (!boundedMatch(url, match, pattern))
        return Failure{"expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"};
    settings.tls = match[1] == "mqtts";
    settings.host = match[2];
    if (settings.host.front() == '[') settings.host = settings.host.substr(1, settings.host.size() - 2);
    settings.port = match[4].matched ? std::stoi(match[4]) : settings.tls ? 8883 : 1883;
    if (settings.port < 1 || settings.port > 65535) return Failure{"expected a port from 1 to 65535"};
    return {};
}

std::string MqttPublisher::stationName(const std::string& name) {
    std::string station;
    for (const char c : name)
        station += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ? c : '_';
    return station.empty() ? "trailcam" : station;
}

MqttPublisher::MqttPublisher(MqttSettings settings, std::string source, std::string version, FILE* err)
    : settings_(std::move(settings)),
      source_(std::move(source)),
      version_(std::move(version)),
      err_(err),
      said_(err) {
    static Library library;
}

namespace {

// The client's thread, which libmosquitto names ("mosquitto loop") as it
// starts it, is renamed as the tool's other threads are.
void renameThreads(const std::string& prefix, const std::string& to) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name.rfind(prefix, 0) == 0) std::ofstream(task.path() / "comm") << to;
    }
}

}  // namespace

MqttPublisher::~MqttPublisher() {
    ended();
    if (client_ != nullptr) mosquitto_destroy(client_);
}

std::string MqttPublisher::passwordFrom(const std::string& file) {
    if (file.empty()) {
        const char* given = std::getenv("TRAILCAM_MQTT_PASSWORD");
        return given != nullptr ? given : "";
    }
    std::string password;
    std::ifstream read(file);
    std::getline(read, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

// The client id: the topics' station name, and a short hash of the name as
// given, so that two stations whose names read the same in topics do not
// knock each other off the broker.
std::string MqttPublisher::clientId(const std::string& station, const std::string& given) {
    uint32_t hash = 2166136261u;  // FNV-1a: the same on every machine and run
    for (const char c : given)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%06x", hash & 0xffffffu);
    return "trailcam-" + station + suffix;
}

Result<> MqttPublisher::start() {
    client_ = mosquitto_new(clientId(settings_.station, settings_.givenStation).c_str(), true, this);
    if (client_ == nullptr) return Failure{"cannot make an MQTT client"};
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int code) {
        static_cast<MqttPublisher*>(self)->connected(code);
    });
    mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int code) {
        static_cast<MqttPublisher*>(self)->disconnected(code);
    });
    // What the client's thread meets before a connection ever works (a TLS
    // handshake with a plain port, say) is said from its log.
    mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
        if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr) static_cast<MqttPublisher*>(self)->failed(text);
    });
    const std::string offline = "offline";
    mosquitto_will_set(client_, topic("availability").c_str(), static_cast<int>(offline.size()),
                       offline.data(), 1, true);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str());
    if (settings_.tls &&
        mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr) != 0)
        return Failure{"cannot set up TLS"};
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
    // A broker that is not there yet is tried again by the client's own thread.
    const int code =
        mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (code != MOSQ_ERR_SUCCESS && code != MOSQ_ERR_ERRNO && code != MOSQ_ERR_EAI)
        return Failure{mosquitto_strerror(code)};
    if (code == MOSQ_ERR_ERRNO) failed(std::strerror(errno));
    if (code == MOSQ_ERR_EAI) failed("unknown host");
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) return Failure{"cannot start the MQTT client"};
    renameThreads("mosquitto", "trailcam-mqtt");
    started_ = true;
    return {};
}

void MqttPublisher::connected(int code) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (code != 0)
        return said_.say("mqtt: " + settings_.host +
                         " refused the connection: " + mosquitto_connack_string(code));
    unreachedSaid_ = true;
    connectedNow_ = true;
    said_.say("mqtt: connected to " + settings_.host + ":" + std::to_string(settings_.port) +
              (everConnected_ ? " again" : ""));
    everConnected_ = true;
    send(topic("availability"), "online", true);
    publishDiscovery();
    for (const auto& [name, payload] : retained_)
        send(name, payload, true);
    for (const Message& m : waiting_)
        send(m.topic, m.payload, m.retain);
    waiting_.clear();
}

void MqttPublisher::disconnected(int code) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool was = connectedNow_;
    connectedNow_ = false;
    if (ending_) return;
    if (was)
        said_.say("mqtt: lost " + settings_.host + ":" + std::to_string(settings_.port) + ", trying again");
    else if (!everConnected_)
        notReached(mosquitto_strerror(code));
}

void MqttPublisher::failed(const std::string& why) {
    // The client may log from inside a call made under mutex_ on this very
    // thread: then this one is let go; the next attempt fails the same way.
    const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && !everConnected_ && !ending_) notReached(why);
}

// Under mutex_: said once, until the broker is reached.
void MqttPublisher::notReached(const std::string& why) {
    if (unreachedSaid_) return;
    unreachedSaid_ = true;
    said_.say("mqtt: cannot reach " + settings_.host + ":" + std::to_string(settings_.port) + ": " + why +
              "; trying again");
}

// Under mutex_, connected: at QoS 1, so the broker acknowledges each.
void MqttPublisher::send(const std::string& name, const std::string& payload, bool retain) {
    mosquitto_publish(client_, nullptr, name.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                      retain);
}

// Under mutex_: what Home Assistant needs to show the station by itself.
void MqttPublisher::publishDiscovery() {
    const std::string id = "trailcam_" + settings_.station;
    const std::string device = ",\"device\":{\"identifiers\":[" + jsonString(id) +
                               "],\"name\":" + jsonString("trailcam " + settings_.station) +
                               ",\"manufacturer\":\"trailcam\",\"sw_version\":" + jsonString(version_) + "}}";
    const std::string common = ",\"availability_topic\":" + jsonString(topic("availability")) + device;
    const std::string status = ",\"state_topic\":" + jsonString(topic("status"));
    const std::pair<std::string, std::string> configs[] = {
        {"sensor/" + id + "_diff",
         "{\"name\":\"diff\",\"unique_id\":\"" + id + "_diff\"" + status +
             ",\"value_template\":\"{{ value_json.diff }}\",\"state_class\":\"measurement\"" + common},
        {"sensor/" + id + "_freq",
         "{\"name\":\"freq\",\"unique_id\":\"" + id + "_freq\"" + status +
             ",\"value_template\":\"{{ value_json.freq }}\",\"unit_of_measurement\":\"images/s\","
             "\"state_class\":\"measurement\"" +
             common},
        {"sensor/" + id + "_exposure",
         "{\"name\":\"exposure left\",\"unique_id\":\"" + id +
             "_exposure\",\"state_topic\":" + jsonString(topic("exposure")) +
             ",\"value_template\":\"{{ value_json.secondsLeft }}\",\"unit_of_measurement\":\"s\"" + common},
        {"binary_sensor/" + id + "_pending",
         "{\"name\":\"snapshot pending\",\"unique_id\":\"" + id + "_pending\"" + status +
             ",\"value_template\":\"{{ 'ON' if value_json.save else 'OFF' }}\"" + common},
        {"image/" + id + "_trail", "{\"name\":\"trail\",\"unique_id\":\"" + id +
                                       "_trail\",\"image_topic\":" + jsonString(topic("trail")) +
                                       ",\"content_type\":\"image/jpeg\"" + common}};
    for (const auto& [path, config] : configs)
        send("homeassistant/" + path + "/config", config, true);
    if (settings_.quality) publishQualityDiscovery(id, common);
    if (settings_.meteors)
        send("homeassistant/device_automation/" + id + "_meteor/config",
             "{\"automation_type\":\"trigger\",\"topic\":" + jsonString(topic("meteor")) +
                 ",\"type\":\"meteor\",\"subtype\":\"sky\"" + device,
             true);
    if (settings_.uploads)
        send("homeassistant/sensor/" + id + "_upload/config",
             "{\"name\":\"upload queue\",\"unique_id\":\"" + id + "_upload\"" + status +
                 ",\"value_template\":\"{{ value_json.upload.files }}\",\"unit_of_measurement\":\"files\","
                 "\"state_class\":\"measurement\",\"json_attributes_topic\":" +
                 jsonString(topic("status")) +
                 ",\"json_attributes_template\":\"{{ value_json.upload | tojson }}\"" + common,
             true);
}

// Under mutex_: the sky's quality as Home Assistant sensors, read from the
// "quality" topic.
void MqttPublisher::publishQualityDiscovery(const std::string& id, const std::string& common) {
    struct Sensor {
        const char *key, *name, *value, *unit, *icon;
    };
    const Sensor sensors[] = {
        {"stars", "stars", "{{ value_json.stars }}", "stars", "mdi:star-four-points"},
        // Unknown (None) while the night has no reference: never a clear sky not measured.
        {"clear", "clear sky",
         "{{ (value_json.clear * 100) | round(0) if value_json.clear is not none else None }}", "%",
         "mdi:weather-night"},
        {"background", "sky background", "{{ value_json.background }}", "levels", "mdi:brightness-6"},
        {"fwhm", "star FWHM", "{{ value_json.fwhm }}", "px", "mdi:blur"},
        {"sky_brightness", "sky brightness", "{{ value_json.sky_brightness }}", "mag/arcsec²",
         "mdi:telescope"}};
    const std::string state = ",\"state_topic\":" + jsonString(topic("quality"));
    for (const Sensor& s : sensors)
        send("homeassistant/sensor/" + id + "_" + s.key + "/config",
             "{\"name\":" + jsonString(s.name) + ",\"unique_id\":\"" + id + "_" + s.key + "\"" + state +
                 ",\"value_template\":" + jsonString(s.value) +
                 ",\"unit_of_measurement\":" + jsonString(s.unit) +
                 ",\"state_class\":\"measurement\",\"icon\":" + jsonString(s.icon) + common,
             true);
    send("homeassistant/binary_sensor/" + id + "_clear_sky/config",
         "{\"name\":\"clear sky\",\"unique_id\":\"" + id + "_clear_sky\"" + state + ",\"value_template\":" +
             jsonString(cv::format(
                 "{{ None if value_json.clear is none else 'ON' if value_json.clear >= %g else 'OFF' }}",
                 settings_.clearThreshold)) +
             ",\"icon\":\"mdi:weather-night\"" + common,
         true);
}

void MqttPublisher::publish(const std::string& name, const std::string& payload, bool retain) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (retain) retained_[name] = payload;
    if (connectedNow_) {
        send(name, payload, retain);
        return;
    }
    if (retain) return;  // sent when the broker is back
    if (waiting_.size() >= kWaitingEvents) {
        waiting_.pop_front();
        said_.say("mqtt: the broker is away; older events are dropped");
    }
    waiting_.push_back({name, payload, retain});
}

std::vector<MqttPublisher::Message> MqttPublisher::unsent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Message> messages;
    for (const auto& [name, payload] : retained_)
        messages.push_back({name, payload, true});
    messages.insert(messages.end(), waiting_.begin(), waiting_.end());
    return messages;
}

void MqttPublisher::event(const std::string& json) { publish(topic("event"), json, false); }

void MqttPublisher::ticked(const Tick& tick) {
    lastFrameMillis_ = tick.frame.millis;
    const TickStatus& s = tick.status;
    if (s.save && !armed_)
        event("{\"type\":\"armed\",\"time\":\"" + utcTimeMillis(tick.frame.millis) +
              "\",\"diff\":" + std::to_string(s.diff) + "}");
    armed_ = s.save;
    if (!due(lastStatus_, tick.frame.millis)) return;
    const std::string more = more_ ? more_() : "";
    publish(topic("status"),
            "{" + statusJsonMembers(s) + ",\"time\":\"" + utcTimeMillis(tick.frame.millis) + "\"" +
                (more.empty() ? "" : "," + more) + "}",
            true);
    if (!quality_) return;
    if (std::string latest = quality_(); latest != "null" && latest != lastQuality_)
        publish(topic("quality"), lastQuality_ = std::move(latest), true);
}

// Whether a retained topic last sent at `last` is due again at `now`: every
// --mqtt-every seconds, or at once after a clock set back.
bool MqttPublisher::due(std::optional<int64_t>& last, int64_t now) const {
    if (last && now >= *last && now - *last < static_cast<int64_t>(settings_.everySeconds * 1000))
        return false;
    last = now;
    return true;
}

void MqttPublisher::exposing(const Exposure& exposure) {
    if (!due(lastExposure_, exposure.nowMillis)) return;
    publish(topic("exposure"), exposureJson(exposure), true);
}

void MqttPublisher::snapshotWritten(const SnapshotDue& due) {
    event("{\"type\":\"snapshot\"," + sidecarJson(due, source_, version_).substr(1));
    // The snapshot file's own bytes, encoded once.
    std::vector<uchar> encoded;
    const std::vector<uchar>* jpeg = due.jpeg.get();
    if (jpeg == nullptr && cv::imencode(".jpg", due.trail, encoded)) jpeg = &encoded;
    if (jpeg != nullptr) publish(topic("trail"), {jpeg->begin(), jpeg->end()}, true);
}

void MqttPublisher::cameraEmpty() {
    event("{\"type\":\"camera lost\",\"time\":\"" + utcTimeMillis(lastFrameMillis_) + "\"}");
}

void MqttPublisher::reconnecting(int64_t) { cameraEmpty(); }

void MqttPublisher::cameraBack() {
    event("{\"type\":\"camera back\",\"time\":\"" + utcTimeMillis(lastFrameMillis_) + "\"}");
}

void MqttPublisher::clipWritten(const ClipWritten& clip) {
    event("{\"type\":\"clip\",\"name\":" + jsonString(clip.name) + ",\"start\":\"" +
          utcTimeMillis(clip.firstMillis) + "\",\"end\":\"" + utcTimeMillis(clip.lastMillis) +
          "\",\"images\":" + std::to_string(clip.images) + "}");
}

// A meteor: an event, and alone under "meteor" for Home Assistant's trigger.
void MqttPublisher::meteorDetected(const Meteor& meteor) {
    const std::string json = meteorJson(meteor);
    event("{\"type\":\"meteor\"," + json.substr(1));
    publish(topic("meteor"), json, false);
}

void MqttPublisher::flashRunEnded(const FlashRun& run) {
    event("{\"type\":\"flash\",\"start\":\"" + utcTimeMillis(run.firstMillis) + "\",\"end\":\"" +
          utcTimeMillis(run.lastMillis) + "\",\"images\":" + std::to_string(run.images) +
          ",\"share\":" + cv::format("%.3f", run.share) + "}");
}

void MqttPublisher::ended() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (ending_ || !started_) return;
        ending_ = true;
        if (connectedNow_) send(topic("availability"), "offline", true);
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
}
