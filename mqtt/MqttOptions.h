#pragma once

#include "core/Options.h"
#include "core/Result.h"
#include "mqtt/MqttPublisher.h"

#include <cstdio>
#include <memory>
#include <string>

namespace CLI {
class App;
}

// --mqtt and what goes with it, into the publisher's settings.
void addMqttOptions(CLI::App& app, MqttSettings& settings, OptionRules& rules);

// The publisher the settings ask for (none without --mqtt), connecting; the
// password read now, the station named by the host when not given.
Result<std::unique_ptr<MqttPublisher>> makeMqttPublisher(MqttSettings settings, const std::string& source,
                                                         const std::string& version, FILE* err);
