#pragma once

#include "core/Result.h"
#include "core/SayOnce.h"
#include "core/TrailEvents.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string user;          // empty: none
    std::string passwordFile;  // else $TRAILCAM_MQTT_PASSWORD
    std::string password;      // from either, never from the command line
    std::string station;       // names the topics: trailcam/<station>/...
    std::string
        givenStation;  // the name as given (default: the host name), before it was made fit for topics
    double everySeconds = 10;     // between two status messages, of image time
    bool uploads = false;         // the status says how the upload queue is: a sensor of it too
    bool quality = false;         // the sky's quality measured: its topic and sensors
    double clearThreshold = 0.7;  // the clear at and above which the sky counts as clear
    bool meteors = false;         // meteors looked for: their topic and a device trigger
};

// The run's events to an MQTT broker (libmosquitto, on its own thread), for
// home automation: under trailcam/<station>/, "status" (a tick's fields,
// retained), "event" (armed, snapshot, clip, flash, meteor, camera lost and
// back), "meteor" (each meteor alone, for a trigger), "trail"
// (the latest snapshot's JPEG, retained) and "availability" ("online",
// retained, again after every reconnect; "offline" as the will and at an
// orderly end), and Home Assistant discovery configs. The loop never waits:
// publishing only queues; while the broker is away, events wait in a bounded
// queue and only the latest status and trail are kept.
class MqttPublisher : public TrailListener {
public:
    // source: the camera, stream or recording, as snapshot events name it.
    MqttPublisher(MqttSettings settings, std::string source, std::string version, FILE* err);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    // More members for the status, asked at each one sent (may be null).
    void addToStatus(std::function<std::string()> more) { more_ = std::move(more); }
    // The sky's quality (settings' quality): its latest measurement as a
    // JSON object ("null" before the first), asked as often as the status
    // and sent, retained, under "quality" when it is new. Its Home Assistant
    // sensors go with the discovery configs, made before the client starts.
    void addQuality(std::function<std::string()> latest) { quality_ = std::move(latest); }
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts connecting (and reconnecting, for as long as the run lasts).
    Result<> start();

    void ticked(const Tick& tick) override;
    void meteorDetected(const Meteor& meteor) override;
    // The exposure in progress, retained, as often as the status.
    void exposing(const Exposure& exposure) override;
    void snapshotWritten(const SnapshotDue& due) override;
    void cameraEmpty() override;
    void reconnecting(int64_t everyMs) override;
    void cameraBack() override;
    void ended() override;
    void clipWritten(const ClipWritten& clip) override;
    void flashRunEnded(const FlashRun& run) override;

    // "mqtt://host[:port]" or "mqtts://host[:port]" into the settings; fails when malformed.
    static Result<> parseUrl(const std::string& url, MqttSettings& settings);
    // The station's name as topics take it: letters, digits, '-' and '_'.
    static std::string stationName(const std::string& name);
    // The password: the file's first line (without the CR of a file saved
    // with CRLF), or $TRAILCAM_MQTT_PASSWORD when no file is named.
    static std::string passwordFrom(const std::string& file);
    // The client id the broker knows the station by.
    static std::string clientId(const std::string& station, const std::string& given);

    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
    };
    // What waits for the broker: the latest of each retained topic (by
    // topic), then the events in order.
    std::vector<Message> unsent();

private:
    void publish(const std::string& topic, const std::string& payload, bool retain);
    void send(const std::string& name, const std::string& payload, bool retain);
    void event(const std::string& json);
    void connected(int code);
    void disconnected(int code);
    void failed(const std::string& why);
    void notReached(const std::string& why);
    std::string topic(const std::string& leaf) const { return "trailcam/" + settings_.station + "/" + leaf; }
    void publishDiscovery();
    void publishQualityDiscovery(const std::string& id, const std::string& common);

    const MqttSettings settings_;
    const std::string source_;
    const std::string version_;
    FILE* err_;
    mosquitto* client_ = nullptr;
    bool started_ = false;

    std::mutex mutex_;
    bool connectedNow_ = false;
    bool everConnected_ = false;
    bool unreachedSaid_ = false;
    bool ending_ = false;
    SayOnce said_;
    std::function<std::string()> quality_;         // loop thread
    std::string lastQuality_;                      // loop thread
    std::map<std::string, std::string> retained_;  // the latest of each retained topic
    std::deque<Message> waiting_;                  // events while the broker is away
    int64_t dropped_ = 0;

    // Loop thread only.
    bool due(std::optional<int64_t>& last, int64_t now) const;
    std::optional<int64_t> lastStatus_;
    std::optional<int64_t> lastExposure_;
    std::function<std::string()> more_;
    int64_t lastFrameMillis_ = 0;
    bool armed_ = false;
};
