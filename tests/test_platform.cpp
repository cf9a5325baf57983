#include "Fakes.h"
#include "cli/CommandLine.h"
#include "platform/Clocks.h"
#include "platform/HighGuiDisplay.h"
#include "platform/SnapshotFiles.h"
#include "platform/StopSignals.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::vector<uchar> contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

struct Parsed {
    CommandLine commandLine;
    std::string out, err;
};

// Parses a command line given as one string of space-separated words.
Parsed parse(const std::string& line) {
    std::istringstream words(line);
    std::vector<std::string> args{"trailcam"};
    for (std::string word; words >> word;)
        args.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    CapturedStream out, err;
    Parsed p{parseCommandLine(static_cast<int>(argv.size()), argv.data(), out.file, err.file), "", ""};
    p.out = out.text();
    p.err = err.text();
    return p;
}

}  // namespace

// Every setting in one line: flags as 0/1, the rest as given.
std::string summary(const Settings& s) {
    std::ostringstream o;
    o << s.device << ' ' << s.size.width << 'x' << s.size.height << ' ' << s.fps << ' ' << s.output << ' '
      << s.recordTo << ' ' << s.reconnectSeconds << ' ' << s.minFreeMb << ' ' << s.liveFolder << '|'
      << s.input << ' ' << s.inputFps << ' ' << s.threads << ' ' << s.httpHost << ':' << s.httpPort << ' '
      << s.listDevices << s.demo << s.headless << s.record << s.panorama << s.saveOnExit << s.show;
    return o.str();
}

TEST(CommandLine, ReadsEachOptionAndRefusesMalformedValues) {
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", "1 640x480 0 img 7 0 0 | 30 0 :0 0000000"},
             {"-d 0 -s 1280x720 --fps 7.5 -o night", "0 1280x720 7.5 night 7 0 0 | 30 0 :0 0000000"},
             {"--device /dev/v4l/by-id/usb-cam --list-devices --demo --headless --record --panorama",
              "/dev/v4l/by-id/usb-cam 640x480 0 img 7 0 0 | 30 0 :0 1111100"},
             {"--record-to rec/a --save-on-exit --reconnect 5 --min-free 100 --live www",
              "1 640x480 0 img rec/a 5 100 www| 30 0 :0 0000010"},
             {"-i f/%05d.jpg --input-fps 2 --show --threads 3 --http 8080",
              "1 640x480 0 img 7 0 0 |f/%05d.jpg 2 3 127.0.0.1:8080 0000001"},
             {"--http 0.0.0.0:0", "1 640x480 0 img 7 0 0 | 30 0 0.0.0.0:0 0000000"}}) {
        const Parsed p = parse(line);
        EXPECT_FALSE(p.commandLine.exitStatus) << line;
        EXPECT_EQ(summary(p.commandLine.settings), expected) << line;
    }
    for (const char* line :
         {"--size 640", "--size 0x480", "--size 640x480x3", "--device=", "--fps fast", "--fps 0",
          "--reconnect -1", "--bogus", "--output=", "extra", "--http 70000", "--http a:b", "--input="}) {
        const Parsed p = parse(line);
        EXPECT_EQ(p.commandLine.exitStatus, 2) << line;
        EXPECT_EQ(p.err.rfind("trailcam: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find("\nTry 'trailcam --help' for more information.\n"), std::string::npos) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 2) << p.err;
        EXPECT_EQ(p.out, "");
    }
    const Parsed help = parse("--help");
    EXPECT_EQ(help.commandLine.exitStatus, 0);
    EXPECT_NE(help.out.find("-d,--device DEV=1"), std::string::npos);
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 24) << "fits one screen";
    EXPECT_EQ(parse("--version").out, "trailcam " TRAILCAM_VERSION "\n");
}

// A snapshot appears whole or not at all: a writer killed at any moment
// leaves the older file as it was, and the next start removes its leftovers.
TEST(SnapshotFiles, KilledWritesLeaveTheOlderFileIntact) {
    TempWorkingDir dir;
    const std::vector<uchar> older(3 << 20, 'o');
    const std::vector<uchar> newer(24 << 20, 'n');
    ASSERT_EQ(writeFileAtomically("img/1.jpg", older, true), "");
    std::mt19937 random(5);
    for (int attempt = 0; attempt < 6; ++attempt) {
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                writeFileAtomically("img/1.jpg", newer, true);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 60));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::vector<uchar> now = contentOf("img/1.jpg");
        ASSERT_TRUE(now == older || now == newer) << "attempt " << attempt << ": " << now.size() << " bytes";
        ASSERT_EQ(writeFileAtomically("img/1.jpg", older, true), "");
    }
    removeLeftoverTemporaries("img");
    EXPECT_EQ(listDirectory("img"), std::vector<std::string>{"1.jpg"});

    SnapshotFiles files;
    const cv::Mat image = movingDotImage(3);
    EXPECT_EQ(files.write("img/2.jpg", image), "");
    EXPECT_GT(cv::PSNR(cv::imread("img/2.jpg"), image), 30);
    EXPECT_EQ(fs::status("img/2.jpg").permissions() & fs::perms::others_read, fs::perms::others_read);
    std::ofstream("blocked") << "a file where a folder should be";
    EXPECT_EQ(files.write("blocked/1.jpg", image), "Not a directory");
    EXPECT_GT(files.freeBytes("not/yet/made"), 0);
}

TEST(Platform, WallClockReadsMillisecondsAndTheHeadlessKeyPollWaits) {
    const auto system = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_NEAR(static_cast<double>(millis()), static_cast<double>(system), 100.0);

    CapturedStream err;
    HighGuiDisplay headless(err.file, true);
    headless.show("frame", movingDotImage(1));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(headless.pollKey(3), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30))
        << "the loop must not spin";
    EXPECT_EQ(err.text(), "") << "headless is the user's choice, not a notice";
}

// The first Ctrl-C, SIGTERM or SIGHUP asks for an orderly end and steps
// aside, so that a second one ends the process at once. (That it interrupts
// a wait for a character is checked end to end.)
TEST(Platform, FirstStopSignalAsksForAnOrderlyEndAndStepsAside) {
    installStopSignals();
    struct sigaction action {};
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, nullptr, &action);
        EXPECT_NE(action.sa_handler, SIG_DFL) << signal;
    }
    std::raise(SIGHUP);
    EXPECT_EQ(stopRequested, 1);
    sigaction(SIGHUP, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    stopRequested = 0;
}
