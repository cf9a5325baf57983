#pragma once

#include "core/FilesInUse.h"
#include "core/Options.h"
#include "retention/Retention.h"

#include <cstdio>
#include <memory>
#include <string>

namespace CLI {
class App;
}

// --keep-days and --max-disk.
void addRetentionOptions(CLI::App& app, RetentionPolicy& policy, OptionRules& rules);

// Retention over the snapshot and clips folders (none without a policy),
// having made room once already.
std::unique_ptr<Retention> makeRetention(const RetentionPolicy& policy, const std::string& snapshotFolder,
                                         const std::string& clipsFolder, FILE* err, const FilesInUse* inUse,
                                         const WaitingUploads* waiting = nullptr);
