#include "Fakes.h"
#include "cli/CommandLine.h"
#include "platform/Clocks.h"
#include "platform/HighGuiDisplay.h"
#include "platform/SnapshotFiles.h"
#include "platform/StopSignals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iterator>

namespace {

// Parses a command line given as one string of space-separated words; also
// returns what it printed.
std::pair<CommandLine, std::string> parse(const std::string& line) {
    std::istringstream words("trailcam " + line);
    const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    CapturedStream printed;  // a braced list is evaluated in order: parse first, then read
    return {parseCommandLine(static_cast<int>(argv.size()), argv.data(), printed.file, printed.file),
            printed.text()};
}

// Every setting in one line: flags as 0/1, the rest as given.
std::string summary(const Settings& s) {
    std::ostringstream o;
    o << s.device << ' ' << s.size << ' ' << s.fps << ' ' << s.output << ' ' << s.recordTo << ' '
      << s.reconnectSeconds << ' ' << s.minFreeMb << ' ' << s.liveFolder << '|' << s.input << ' '
      << s.inputFps << ' ' << s.threads << ' ' << s.httpHost << ':' << s.httpPort << ' ' << s.listDevices
      << s.demo << s.headless << s.record << s.panorama << s.saveOnExit << s.show;
    return o.str();
}

}  // namespace

TEST(CommandLine, ReadsEachOptionAndRefusesMalformedValues) {
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", "1 [640 x 480] 0 img 7 0 0 | 30 0 :0 0000000"},
             {"-d 0 -s 1280x720 --fps 7.5 -o night --record-to rec/a --save-on-exit --reconnect 5 --live www",
              "0 [1280 x 720] 7.5 night rec/a 5 0 www| 30 0 :0 0000010"},
             {"--device /dev/v4l/by-id/usb-cam --list-devices --demo --headless --record --panorama",
              "/dev/v4l/by-id/usb-cam [640 x 480] 0 img 7 0 0 | 30 0 :0 1111100"},
             {"--min-free 100 -i f/%05d.jpg --input-fps 2 --show --threads 3 --http 8080",
              "1 [640 x 480] 0 img 7 0 100 |f/%05d.jpg 2 3 127.0.0.1:8080 0000001"},
             {"--http 0.0.0.0:0", "1 [640 x 480] 0 img 7 0 0 | 30 0 0.0.0.0:0 0000000"}}) {
        const auto [parsed, printed] = parse(line);
        EXPECT_FALSE(parsed.exitStatus) << line << ": " << printed;
        EXPECT_EQ(summary(parsed.settings), expected) << line;
    }
    for (const char* line :
         {"--size 640", "--size 0x480", "--size 640x480x3", "--device=", "--fps fast", "--fps 0",
          "--reconnect -1", "--bogus", "--output=", "extra", "--http 70000", "--http a:b", "--input="}) {
        const auto [parsed, printed] = parse(line);
        EXPECT_EQ(parsed.exitStatus, 2) << line;
        EXPECT_EQ(printed.rfind("trailcam: ", 0), 0u) << printed;
        EXPECT_EQ(printed.substr(printed.find('\n')), "\nTry 'trailcam --help' for more information.\n");
    }
    const auto [help, helpText] = parse("--help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(helpText.find("-d,--device DEV=1"), std::string::npos);
    EXPECT_LE(std::count(helpText.begin(), helpText.end(), '\n'), 24) << "fits one screen";
    EXPECT_EQ(parse("--version").second, "trailcam " TRAILCAM_VERSION "\n");
}

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
    EXPECT_GT(SnapshotFiles().freeBytes("not/yet/made"), 0);
}

// The first Ctrl-C, SIGTERM or SIGHUP asks for an orderly end and steps
// aside, so that a second one ends the process at once. (That it interrupts
// a wait for a character is checked end to end.)
TEST(Platform, FirstStopSignalAsksForAnOrderlyEndAndStepsAside) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        installStopSignals();
        std::raise(signal);  // ends the test at once if the handler were missing
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        EXPECT_TRUE(stopRequested == 1 && action.sa_handler == SIG_DFL) << signal;
        stopRequested = 0;
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}
