#include "Fakes.h"
#include "core/Json.h"
#include "mqtt/MqttPublisher.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

constexpr int64_t kStart = 1796681600000;  // 2026-12-07T22:13:20.000Z

Tick tickAt(int64_t millis, int32_t diff, bool save) {
    const cv::Mat image(8, 8, CV_8UC3, cv::Scalar::all(0));
    return {{30, 900, diff, 4, save, save ? 300 : 0}, {image, millis}, image, {}, {}};
}

}  // namespace

// While the broker is away (here: never asked for), a run's messages wait:
// the status at most every --mqtt-every seconds of image time and only the
// latest of it, retained; an armed event once each time the countdown arms;
// camera lost and back; a clip; a flash; a meteor; the latest snapshot's JPEG retained. Past
// 100 events the oldest go, said once.
TEST(Mqtt, EventsAndStatusesWaitInOrderAtTheirRate) {
    CapturedStream err;
    MqttSettings settings;
    settings.host = "broker.invalid";
    settings.station = "roof";
    settings.everySeconds = 5;
    MqttPublisher mqtt(settings, "demo", "1.2.3", err.file);
    for (int second = 0; second < 12; ++second)  // armed from 3 s to 5 s, and again at 9 s
        mqtt.ticked(
            tickAt(kStart + second * 1000, 100 * second, (second >= 3 && second <= 5) || second == 9));
    for (int64_t second = 0; second < 7; ++second)  // a 7-second exposure, told each second
        mqtt.exposing({kStart, 7, kStart + second * 1000});
    mqtt.cameraEmpty();
    mqtt.cameraBack();
    mqtt.clipWritten({"20261207-221320000", kStart, kStart + 4000, 41});
    mqtt.flashRunEnded({kStart + 100, kStart + 1000, 10, 0.4375});
    Meteor meteor;
    meteor.startMillis = kStart + 2040, meteor.endMillis = kStart + 2440, meteor.from = {10, 20.5f};
    meteor.to = {110.25f, 20}, meteor.frames = 11, meteor.length = 100.25, meteor.speed = 250.6,
    meteor.peak = 87;
    mqtt.meteorDetected(meteor);
    const std::vector<MqttPublisher::Message> unsent = mqtt.unsent();
    std::vector<std::string> lines;
    for (const auto& m : unsent)
        lines.push_back(m.topic + (m.retain ? " (retained) " : " ") + m.payload);
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            // the exposure at most every 5 s, as the status
            "trailcam/roof/exposure (retained) {\"seconds\":7,\"secondsLeft\":2.0}",
            "trailcam/roof/status (retained) {\"freq\":30,\"frameCounter\":900,\"diff\":1000,"
            "\"trackCounter\":4,\"save\":0,\"saveTimeout\":0,\"time\":\"2026-12-07T22:13:30.000Z\"}",
            "trailcam/roof/event {\"type\":\"armed\",\"time\":\"2026-12-07T22:13:23.000Z\",\"diff\":300}",
            "trailcam/roof/event {\"type\":\"armed\",\"time\":\"2026-12-07T22:13:29.000Z\",\"diff\":900}",
            "trailcam/roof/event {\"type\":\"camera lost\",\"time\":\"2026-12-07T22:13:31.000Z\"}",
            "trailcam/roof/event {\"type\":\"camera back\",\"time\":\"2026-12-07T22:13:31.000Z\"}",
            "trailcam/roof/event {\"type\":\"clip\",\"name\":\"20261207-221320000\",\"start\":"
            "\"2026-12-07T22:13:20.000Z\",\"end\":\"2026-12-07T22:13:24.000Z\",\"images\":41}",
            "trailcam/roof/event {\"type\":\"flash\",\"start\":\"2026-12-07T22:13:20.100Z\",\"end\":"
            "\"2026-12-07T22:13:21.000Z\",\"images\":10,\"share\":0.438}",
            // a meteor: an event, and alone for Home Assistant's trigger
            "trailcam/roof/event {\"type\":\"meteor\",\"start\":\"2026-12-07T22:13:22.040Z\",\"end\":"
            "\"2026-12-07T22:13:22.440Z\",\"from\":[10.0,20.5],\"to\":[110.2,20.0],\"frames\":11,\"length\":"
            "100.2,"
            "\"speed\":250.6,\"peak\":87,\"clip\":null}",
            "trailcam/roof/meteor "
            "{\"start\":\"2026-12-07T22:13:22.040Z\",\"end\":\"2026-12-07T22:13:22.440Z\","
            "\"from\":[10.0,20.5],\"to\":[110.2,20.0],\"frames\":11,\"length\":100.2,\"speed\":250.6,"
            "\"peak\":87,"
            "\"clip\":null}"}));
    EXPECT_EQ(err.text(), "");
    // A clock set back does not hold the status back for as long as it jumped.
    mqtt.ticked(tickAt(kStart + 2000, 0, false));
    const auto setBack = mqtt.unsent();
    EXPECT_EQ(std::count_if(setBack.begin(), setBack.end(),
                            [](const auto& m) {
                                return m.topic == "trailcam/roof/status" &&
                                       m.payload.find("\"time\":\"2026-12-07T22:13:22.000Z\"") !=
                                           std::string::npos;
                            }),
              1);

    // A snapshot: its event with the sidecar's fields, and its JPEG retained.
    const TrailSpan span{kStart, kStart + 300000, 9001, true, kStart + 5000, 2345};
    mqtt.snapshotWritten({7, movingDotImage(1), SnapshotReason::countdown, kStart + 300000, span, {}});
    const auto withSnapshot = mqtt.unsent();
    const auto event = parseJson(withSnapshot.back().payload);
    ASSERT_TRUE(event) << withSnapshot.back().payload;
    EXPECT_TRUE((*event)["type"] == "snapshot" && (*event)["number"] == 7 && (*event)["images"] == 9001 &&
                (*event)["source"] == "demo");
    EXPECT_EQ(std::count_if(withSnapshot.begin(), withSnapshot.end(),
                            [](const auto& m) { return m.topic == "trailcam/roof/trail" && m.retain; }),
              1);
    for (int i = 0; i < 150; ++i)
        mqtt.cameraEmpty();
    const auto full = mqtt.unsent();
    EXPECT_EQ(std::count_if(full.begin(), full.end(), [](const auto& m) { return !m.retain; }), 100);
    EXPECT_EQ(err.lines(), (std::vector<std::string>{"mqtt: the broker is away; older events are dropped"}));
}

// The sky's quality goes out, retained, as often as the status and only when
// there is a new measurement.
TEST(Mqtt, TheSkysQualityWhenMeasuredAgain) {
    MqttSettings settings;
    settings.host = "broker.invalid", settings.station = "roof", settings.everySeconds = 5;
    CapturedStream err;
    MqttPublisher mqtt(settings, "demo", "1.2.3", err.file);
    std::string latest = "null";
    mqtt.addQuality([&latest] { return latest; });
    const auto sent = [&mqtt] {
        std::vector<std::string> payloads;
        for (const auto& m : mqtt.unsent())
            if (m.topic == "trailcam/roof/quality" && m.retain) payloads.push_back(m.payload);
        return payloads;
    };
    mqtt.ticked(tickAt(kStart, 0, false));
    EXPECT_TRUE(sent().empty()) << "nothing measured yet";
    latest = "{\"stars\":187}";
    mqtt.ticked(tickAt(kStart + 1000, 0, false));
    EXPECT_TRUE(sent().empty()) << "not due before the status";
    mqtt.ticked(tickAt(kStart + 5000, 0, false));
    EXPECT_EQ(sent(), std::vector<std::string>{latest});
}

// The station's name as topics take it, a client id that tells apart two
// names that read the same in topics, and a password file saved with CRLF.
TEST(Mqtt, NamesAndPasswords) {
    EXPECT_EQ(MqttPublisher::stationName("roof/cam #2"), "roof_cam__2");
    // Two stations whose names read the same in topics are two clients.
    EXPECT_NE(MqttPublisher::clientId("roof_cam__2", "roof/cam #2"),
              MqttPublisher::clientId("roof_cam__2", "roof cam  2"));
    EXPECT_EQ(MqttPublisher::clientId("roof", "roof").rfind("trailcam-roof-", 0), 0u);
    {
        TempWorkingDir dir;
        std::ofstream("password") << "s3cret\r\nsecond line\n";
        EXPECT_EQ(MqttPublisher::passwordFrom("password"), "s3cret") << "a file saved with CRLF";
    }
}
