#pragma once

#include "core/Result.h"

#include <atomic>
#include <string>
#include <vector>

// Runs `rclone ARGS...` (found on PATH) and waits for it; a failure's reason
// is rclone's last line on stderr. Set, stop ends it (SIGTERM, then SIGKILL
// after 5 s). rclone also ends with the thread that started it, so that a
// killed tool leaves none behind.
Result<> runRclone(const std::vector<std::string>& args, const std::atomic<bool>& stop);
