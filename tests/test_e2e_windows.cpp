#include "ChildProcess.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

const std::string kStart = "setup\nsetup done\ncaptured\n";

std::string run(const std::vector<std::string>& argv) {
    ProcessOptions options;
    options.argv = argv;
    ChildProcess command(options);
    command.wait(10);
    return command.out();
}

// The id of the X window with exactly this name, or "" once timeoutSeconds passed.
std::string findWindow(const std::string& name, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string id = run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^" + name + "$"});
        if (!id.empty()) return id.substr(0, id.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

bool haveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

// Status lines, as the tool printed them between start-up and the end.
bool onlyStatusLinesBetween(const std::string& out, const std::string& end) {
    if (out.rfind(kStart, 0) != 0 || out.size() < end.size() ||
        out.compare(out.size() - end.size(), end.size(), end) != 0)
        return false;
    const std::string middle = out.substr(kStart.size(), out.size() - kStart.size() - end.size());
    size_t lines = 0;
    for (size_t at = 0; at < middle.size(); at = middle.find('\n', at) + 1, ++lines)
        if (middle.compare(at, 5, "freq=") != 0) return false;
    return lines > 0;
}

void pressKeyInWindows(const std::string& key) {
    if (!haveDisplay()) GTEST_SKIP() << "needs an X display (scripts/test.sh starts Xvfb)";
    TempWorkingDir dir;
    ChildProcess tool({{TRAILCAM_SYNTHETIC}, dir.path(), std::nullopt, {}});
    ASSERT_TRUE(tool.waitForOutput("freq=", 60)) << tool.out() << tool.err();
    const std::string frame = findWindow("frame", 120);
    const std::string trail = findWindow("imMin", 120);
    const std::string windows = run({"/usr/bin/xwininfo", "-root", "-tree"});
    ASSERT_FALSE(frame.empty()) << "no window named frame\n" << windows << tool.err();
    ASSERT_FALSE(trail.empty()) << "no window named imMin\n" << windows << tool.err();
    // Real key events (XTEST) into the focused trail window.
    run({"/usr/bin/xdotool", "windowfocus", "--sync", trail});
    run({"/usr/bin/xdotool", "key", key});
    ASSERT_TRUE(tool.wait(60)) << "still running after " << key;
    EXPECT_EQ(tool.exitStatus(), 0);
    EXPECT_TRUE(onlyStatusLinesBetween(tool.out(), "stopapp\nclosing app\n")) << tool.out();
    EXPECT_EQ(tool.err().find("no display"), std::string::npos);
}

void signalEndsInOrder(int signal, bool withDisplay) {
    if (withDisplay && !haveDisplay()) GTEST_SKIP() << "needs an X display (scripts/test.sh starts Xvfb)";
    TempWorkingDir dir;
    ProcessOptions options{{TRAILCAM_SYNTHETIC}, dir.path(), std::nullopt, {}};
    if (!withDisplay) options.environment = {{"DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};
    ChildProcess tool(options);
    ASSERT_TRUE(tool.waitForOutput("freq=", 60)) << tool.out() << tool.err();
    kill(tool.pid(), signal);
    ASSERT_TRUE(tool.wait(60));
    EXPECT_EQ(tool.exitStatus(), 0);
    EXPECT_TRUE(onlyStatusLinesBetween(tool.out(), "stopapp\nclosing app\n")) << tool.out();
    if (!withDisplay) {
        EXPECT_EQ(tool.err(), "no display: running without windows (stop with Ctrl-C)\n");
    }
}

}  // namespace

TEST(Windows, QInTheTrailWindowEndsTheRun) { pressKeyInWindows("q"); }

TEST(Windows, EscInTheTrailWindowEndsTheRun) { pressKeyInWindows("Escape"); }

TEST(Signals, InterruptEndsTheRunInOrder) { signalEndsInOrder(SIGINT, true); }

TEST(Signals, TerminateEndsTheRunInOrder) { signalEndsInOrder(SIGTERM, true); }

TEST(Signals, WithoutDisplayTheLoopRunsAndStopsOnSignal) { signalEndsInOrder(SIGTERM, false); }
