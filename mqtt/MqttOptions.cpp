#include "mqtt/MqttOptions.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

std::string hostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "trailcam";
}

}  // namespace

void addMqttOptions(CLI::App& app, MqttSettings& s, OptionRules& rules) {
    const MqttSettings defaults;
    app.add_option_function<std::string>(
           "--mqtt", [&s](const std::string& url) { (void)MqttPublisher::parseUrl(url, s); },
           "publish status and events to an MQTT broker")
        ->type_name("URL")
        ->check([](const std::string& v) {
            MqttSettings settings;
            const Result<> parsed = MqttPublisher::parseUrl(v, settings);
            return parsed ? std::string() : parsed.reason();
        });
    app.add_option("--mqtt-user", s.user, "the broker's user name")->type_name("NAME")->check(notEmpty);
    app.add_option("--mqtt-password-file", s.passwordFile,
                   "a file holding the password (else $TRAILCAM_MQTT_PASSWORD)")
        ->type_name("F")
        ->check([](const std::string& v) {
            std::error_code error;
            return std::filesystem::is_regular_file(v, error) && std::ifstream(v).good()
                       ? std::string()
                       : "no readable file " + v;
        });
    app.add_option("--station", s.givenStation, "the station's name in topics (default: the host name)")
        ->type_name("NAME")
        ->check(notEmpty);
    addNumber(app, "--mqtt-every", s.everySeconds,
              cv::format("seconds of image time between statuses (default: %g)", defaults.everySeconds), "S",
              0.1, 86400);
    rules.cannotGoWith.emplace_back("--record", "--mqtt");
    for (const char* option : {"--mqtt-user", "--mqtt-password-file", "--station", "--mqtt-every"})
        rules.needs.emplace_back(option, "--mqtt");
}

Result<std::unique_ptr<MqttPublisher>> makeMqttPublisher(MqttSettings settings, const std::string& source,
                                                         const std::string& version, FILE* err) {
    if (settings.host.empty()) return std::unique_ptr<MqttPublisher>();
    settings.password = MqttPublisher::passwordFrom(settings.passwordFile);
    if (settings.givenStation.empty()) settings.givenStation = hostName();
    settings.station = MqttPublisher::stationName(settings.givenStation);
    auto mqtt = std::make_unique<MqttPublisher>(settings, source, version, err);
    if (const Result<> started = mqtt->start(); !started) return Failure{"mqtt: " + started.reason()};
    return mqtt;
}
