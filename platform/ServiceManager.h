#pragma once

#include <string>

// The service manager (systemd) that started the tool, when it asked to be
// told how the tool is doing (NOTIFY_SOCKET is set).
bool serviceManagerListens();
// Sends it a state ("READY=1", "WATCHDOG=1", "STATUS=...", ...); nothing
// when it did not ask.
void tellServiceManager(const std::string& state);
