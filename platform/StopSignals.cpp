#include "platform/StopSignals.h"

#include <unistd.h>

volatile std::sig_atomic_t stopRequested = 0;

namespace {

void requestStop(int) { stopRequested = 1; }

void handle(int signal, int flags) {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

}  // namespace

void installStopSignals() {
    // No SA_RESTART: a wait for a character on the terminal gives up instead
    // of blocking the orderly end. A closed terminal sends SIGHUP twice (the
    // kernel and the shell), and a service manager may repeat SIGTERM: those
    // keep asking for the orderly end. Only a second Ctrl-C ends at once.
    handle(SIGINT, SA_RESETHAND);
    handle(SIGTERM, 0);
    handle(SIGHUP, 0);
}

void ignoreBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

bool mayReadTerminal(int fd) { return !isatty(fd) || tcgetpgrp(fd) == getpgrp(); }
