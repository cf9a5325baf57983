#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

bool serviceManagerListens() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void tellServiceManager(const std::string& state) { (void)sd_notify(0, state.c_str()); }
