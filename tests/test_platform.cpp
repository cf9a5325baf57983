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

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "trailcam");
    CapturedStream out, err;
    Parsed p{parseCommandLine(static_cast<int>(args.size()), args.data(), out.file(), err.file()), "", ""};
    p.out = out.text();
    p.err = err.text();
    return p;
}

}  // namespace

TEST(CommandLine, ReadsEachOptionAndRefusesMalformedValues) {
    const Settings defaults = parse({}).commandLine.settings;
    EXPECT_FALSE(parse({}).commandLine.exitStatus);
    EXPECT_EQ(defaults.device, "1");
    EXPECT_EQ(defaults.size, cv::Size(640, 480));
    EXPECT_EQ(defaults.fps, 0);
    EXPECT_EQ(defaults.output, "img");
    EXPECT_EQ(defaults.recordTo, "7");
    EXPECT_FALSE(defaults.demo || defaults.headless || defaults.record || defaults.panorama ||
                 defaults.saveOnExit || defaults.listDevices);
    EXPECT_EQ(defaults.reconnectSeconds, 0);
    EXPECT_EQ(defaults.minFreeMb, 0);

    const Settings s = parse({"-d",          "/dev/v4l/by-id/usb-cam",
                              "-s",          "1280x720",
                              "--fps",       "7.5",
                              "-o",          "night",
                              "--headless",  "--panorama",
                              "--record",    "--record-to",
                              "rec/a",       "--save-on-exit",
                              "--reconnect", "5",
                              "--min-free",  "100",
                              "--live",      "www",
                              "--demo",      "--list-devices"})
                           .commandLine.settings;
    EXPECT_EQ(s.device, "/dev/v4l/by-id/usb-cam");
    EXPECT_EQ(s.size, cv::Size(1280, 720));
    EXPECT_EQ(s.fps, 7.5);
    EXPECT_EQ(s.output, "night");
    EXPECT_EQ(s.recordTo, "rec/a");
    EXPECT_TRUE(s.headless && s.panorama && s.record && s.saveOnExit && s.demo && s.listDevices);
    EXPECT_EQ(s.reconnectSeconds, 5);
    EXPECT_EQ(s.minFreeMb, 100);
    EXPECT_EQ(s.liveFolder, "www");
    EXPECT_EQ(parse({"--device", "0"}).commandLine.settings.device, "0");

    for (const std::vector<const char*>& wrong : {std::vector<const char*>{"--size", "640"},
                                                  {"--size", "0x480"},
                                                  {"--size", "640x480x3"},
                                                  {"--device", ""},
                                                  {"--fps", "fast"},
                                                  {"--fps", "0"},
                                                  {"--reconnect", "-1"},
                                                  {"--bogus"},
                                                  {"-o", ""},
                                                  {"extra"}}) {
        const Parsed p = parse(wrong);
        EXPECT_EQ(p.commandLine.exitStatus, 2) << wrong[0];
        EXPECT_EQ(p.err.rfind("trailcam: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find("\nTry 'trailcam --help' for more information.\n"), std::string::npos) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 2) << p.err;
        EXPECT_EQ(p.out, "");
    }

    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.commandLine.exitStatus, 0);
    EXPECT_NE(help.out.find("-d,--device DEV=1"), std::string::npos);
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 25) << "fits one screen";
    EXPECT_EQ(parse({"--version"}).out, "trailcam " TRAILCAM_VERSION "\n");
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

TEST(SnapshotFiles, NumberingGoesOnAfterTheNewestSnapshot) {
    TempWorkingDir dir;
    EXPECT_FALSE(newestSnapshotNumber("img", 30000));
    fs::create_directory("img");
    const auto now = fs::file_time_type::clock::now();
    int age = 0;
    for (const char* name :
         {"12.jpg", "30000.jpg", "7.jpg", "0.jpg", "99999.jpg", "007.jpg", "8.png", "x.jpg"}) {
        std::ofstream("img/" + std::string(name)) << name;
        fs::last_write_time("img/" + std::string(name),
                            now - std::chrono::hours(age--));  // later names are newer
    }
    fs::last_write_time("img/0.jpg", now - std::chrono::hours(5));
    EXPECT_EQ(newestSnapshotNumber("img", 30000), 7) << "newest by time, not by number";
    fs::last_write_time("img/0.jpg", now + std::chrono::hours(10));
    EXPECT_EQ(newestSnapshotNumber("img", 30000), 0) << "after the wrap";
}

TEST(Platform, WallClockReadsMillisecondsAndTheHeadlessKeyPollWaits) {
    const auto system = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_NEAR(static_cast<double>(millis()), static_cast<double>(system), 100.0);

    CapturedStream err;
    HighGuiDisplay headless(err.file(), true);
    headless.show("frame", movingDotImage(1));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(headless.pollKey(3), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30))
        << "the loop must not spin";
    EXPECT_EQ(err.text(), "") << "headless is the user's choice, not a notice";
}

// The first Ctrl-C, SIGTERM or SIGHUP asks for an orderly end, interrupts a
// wait for a character, and steps aside so that a second one ends at once.
TEST(Platform, FirstStopSignalInterruptsAWaitAndStepsAside) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    installStopSignals();
    struct sigaction action {};
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, nullptr, &action);
        EXPECT_NE(action.sa_handler, SIG_DFL) << signal;
    }
    const pid_t child = fork();
    if (child == 0) {
        usleep(100000);
        kill(getppid(), SIGHUP);
        sleep(3);  // a restarted read would get this character
        (void)!write(fds[1], "x", 1);
        _exit(0);
    }
    FILE* in = fdopen(fds[0], "r");
    EXPECT_EQ(std::fgetc(in), EOF);
    EXPECT_EQ(stopRequested, 1);
    sigaction(SIGHUP, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::fclose(in);
    close(fds[1]);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    stopRequested = 0;
}
