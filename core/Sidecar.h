#pragma once

#include "core/TrailEvents.h"

#include <string>

// "countdown", "mode change", "exit", "end of input"
const char* reasonName(SnapshotReason reason);

// A snapshot's sidecar, the JSON of what it is: its number, the times of its
// first and last images, how many it holds, when and why it was made, the
// source and the tool's version. Also the fields of MQTT's snapshot event.
std::string sidecarJson(const SnapshotDue& due, const std::string& source, const std::string& version,
                        const std::string& members = "");
