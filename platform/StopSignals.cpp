#include "platform/StopSignals.h"

#include <unistd.h>

volatile std::sig_atomic_t stopRequested = 0;

namespace {
void requestStop(int) { stopRequested = 1; }
}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for a character on the terminal gives up instead
    // of blocking the orderly end.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool mayReadTerminal(int fd) { return !isatty(fd) || tcgetpgrp(fd) == getpgrp(); }
