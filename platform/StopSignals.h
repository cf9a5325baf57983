#pragma once

#include <csignal>

// Raised by the first Ctrl-C, SIGTERM or SIGHUP (terminal closed); the loops
// read it and end the run in order, as q or Esc does.
extern volatile std::sig_atomic_t stopRequested;

// Installs the handlers. They only set the flag; the Ctrl-C handler then
// steps aside, so a second Ctrl-C ends the process at once.
void installStopSignals();

// A write to a closed socket or pipe (an INDI server or a web client gone,
// a broker restarted) fails with EPIPE, which the writer handles as a lost
// peer, instead of ending the whole station with SIGPIPE.
void ignoreBrokenPipes();

// Whether the process may read the terminal now: a background process that
// reads its terminal is stopped by it, and would then never see SIGTERM.
bool mayReadTerminal(int fd);
