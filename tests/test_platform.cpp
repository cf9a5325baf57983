#include "Fakes.h"
#include "platform/Clocks.h"
#include "platform/Files.h"
#include "platform/HighGuiDisplay.h"
#include "platform/StopSignals.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

TEST(Platform, AdaptersReadMillisecondsWaitForKeysAndFindFreeSpace) {
    using namespace std::chrono;
    const auto system = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(millis()), static_cast<double>(system), 100.0);

    CapturedStream err;
    HighGuiDisplay headless(err.file, true);
    headless.show("frame", movingDotImage(1));
    const auto start = steady_clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(headless.pollKey(3), -1);
    EXPECT_GE(steady_clock::now() - start, milliseconds(30)) << "the loop must not spin";
    EXPECT_EQ(err.text(), "") << "headless is the user's choice, not a notice";
    // A snapshot folder not made yet is judged by the file system it will be on.
    EXPECT_GT(freeBytesFor("not/yet/made"), 0);
}

// Every stop signal asks for an orderly end; SIGTERM and SIGHUP go on doing
// so however often they come (a closed terminal sends SIGHUP twice), while
// the Ctrl-C handler steps aside, so that a second Ctrl-C ends at once.
// (That they interrupt a wait for a character is checked end to end.)
TEST(Platform, StopSignalsAskForAnOrderlyEndAndOnlyCtrlCStepsAside) {
    installStopSignals();
    for (const int signal : {SIGTERM, SIGHUP, SIGTERM, SIGHUP, SIGINT}) {
        std::raise(signal);  // ends the test at once if the handler were missing
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        EXPECT_TRUE(stopRequested == 1 && (action.sa_handler == SIG_DFL) == (signal == SIGINT)) << signal;
        stopRequested = 0;
    }
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    // A peer gone: the write says so (EPIPE) instead of ending the process.
    ignoreBrokenPipes();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    errno = 0;
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
    std::signal(SIGPIPE, SIG_DFL);
}
