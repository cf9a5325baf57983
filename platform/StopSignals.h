#pragma once

#include <csignal>

// Raised by the first Ctrl-C or SIGTERM; the trail loop reads it and ends the
// run in order, as q does.
extern volatile std::sig_atomic_t stopRequested;

// Installs the handlers. The handler only sets the flag and then steps aside,
// so a second Ctrl-C ends the process at once.
void installStopSignals();
