#pragma once

#include "core/FilesInUse.h"
#include "core/Options.h"
#include "core/Result.h"
#include "upload/Uploader.h"

#include <cstdio>
#include <memory>
#include <string>

namespace CLI {
class App;
}

// --upload and what goes with it.
void addUploadOptions(CLI::App& app, UploadSettings& settings, OptionRules& rules);

// The uploader the settings ask for, its queue read and sending (none
// without --upload); fails when the queue cannot be kept.
Result<std::unique_ptr<Uploader>> makeUploader(const UploadSettings& settings,
                                               const std::string& snapshotFolder,
                                               const std::string& clipsFolder, const FilesInUse* inUse,
                                               FILE* err);
