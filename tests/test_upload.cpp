#include "Fakes.h"
#include "core/Json.h"
#include "platform/Clocks.h"
#include "retention/Retention.h"
#include "upload/Rclone.h"
#include "upload/UploadQueue.h"
#include "upload/Uploader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

// The queue keeps its files across a restart (a kill, a power cut), oldest
// first; a failure pauses everything for 1, 2, 4, ... s up to the longest
// pause, an arrival ends the pauses; a file queued again while it is sent
// stays queued for its newer bytes; an entry that cannot be read and a file
// that is gone are dropped with one line each, and so is an entry that
// names a file outside the folders sent from, a remote place outside the
// remote path, or a time that is no whole number.
TEST(Uploads, TheQueueOutlivesTheRunAndBacksOffAfterFailures) {
    TempWorkingDir dir;
    CapturedStream err;
    std::ofstream("5.jpg") << "jpeg";
    // A clips folder of its own, named in full.
    const std::string clips = std::filesystem::absolute("clips").string();
    const std::vector<std::string> roots{"img", clips};
    {
        UploadQueue queue("img/.upload", roots, err.file, 1000, 4000);
        ASSERT_TRUE(queue.open());
        queue.add({"img/5.jpg", "5.jpg", 2000, 4});
        queue.add({"img/5.json", "5.json", 3000, 2});
        queue.add({"img/4.jpg", "4.jpg", 1000, 8});
        queue.add({clips + "/a.avi", "clips/a.avi", 4000, 1});
        EXPECT_TRUE(queue.waiting("img/./5.jpg"));
        EXPECT_FALSE(queue.waiting("img/6.jpg"));
    }  // killed here: nothing was sent
    const std::string unread = " cannot be read: dropped",
                      outside = " names a file outside the folders it sends from: dropped",
                      above = " names a place outside the remote path: dropped";
    const std::vector<std::pair<std::string, std::string>> hostile{
        {"{\"path\":", unread},
        {"{\"path\":\"/etc/shadow\",\"remote\":\"stolen.txt\"}", outside},
        {"{\"file\":\"../../etc/passwd\",\"remote\":\"p\"}", outside},
        {"{\"file\":\"5.jpg\",\"remote\":\"../../elsewhere/5.jpg\"}", above},
        {"{\"file\":\"5.jpg\",\"remote\":\"/5.jpg\"}", above},
        {"{\"file\":\"5.jpg\",\"remote\":\"5.jpg\",\"queued\":\"soon\"}", unread},
        {"{\"file\":\"5.jpg\",\"remote\":\"5.jpg\",\"queued\":null}", unread},
        {"{\"file\":\"5.jpg\",\"remote\":\"5.jpg\",\"queued\":1e300}", unread}};
    // Started from another directory with the folders' full names, as a
    // service is: the queue is found all the same.
    const std::string img = std::filesystem::absolute("img").string();
    std::vector<std::string> expected;
    for (size_t i = 0; i < hostile.size(); ++i) {
        const std::string name = "/.upload/" + std::string(1, static_cast<char>('a' + i)) + ".queued";
        std::ofstream("img" + name) << hostile[i].first;
        expected.push_back("upload: the queue entry " + img + name + hostile[i].second);
    }
    std::filesystem::create_directory("elsewhere");
    std::filesystem::current_path("elsewhere");
    UploadQueue queue(img + "/.upload", {img, clips}, err.file, 1000, 4000);
    ASSERT_TRUE(queue.open());
    std::vector<std::string> said = err.lines();
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said, expected);
    UploadQueue::Summary s = queue.summary(10000);
    EXPECT_TRUE(s.files == 4 && s.bytes == 15 && s.oldestMillis == 1000 && s.lastError.empty() &&
                !s.pausedUntil);

    // Oldest first; a failure pauses all, doubling, to 4 s.
    std::optional<QueuedFile> first = queue.take(10000);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->remoteName, "4.jpg");
    queue.failed(*first, "connection refused", 10000);
    EXPECT_FALSE(queue.take(10999)) << "paused 1 s";
    std::optional<QueuedFile> second = queue.take(11000);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->remoteName, "5.jpg") << "the failed file waits its own pause";
    queue.failed(*second, "connection refused", 11000);
    EXPECT_FALSE(queue.take(12999)) << "then 2 s";
    s = queue.summary(12000);
    EXPECT_TRUE(s.lastError == "connection refused" && s.pausedUntil == 13000);
    for (int64_t now : {13000, 17000}) {
        std::optional<QueuedFile> again = queue.take(now);
        ASSERT_TRUE(again);
        queue.failed(*again, "connection refused", now);
    }
    EXPECT_FALSE(queue.take(20999)) << "4 s at most";
    std::optional<QueuedFile> sent = queue.take(21000);
    ASSERT_TRUE(sent);
    queue.add(*sent);  // written again while it is sent
    queue.arrived(*sent);
    EXPECT_TRUE(queue.waiting(sent->path)) << "its newer bytes go too";
    s = queue.summary(21000);
    EXPECT_TRUE(s.lastError.empty() && !s.pausedUntil && s.files == 4);
    // Entries name their files relative to the snapshot folder, under
    // names of one length however long the path.
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(img + "/.upload")) {
        EXPECT_EQ(entry.path().filename().string().size(), 23u) << entry.path();
        const auto json = parseJson(textOf(entry.path().string()));
        entries.insert(json->value("file", "") + " " + json->value("remote", ""));
    }
    EXPECT_EQ(entries, (std::set<std::string>{"4.jpg 4.jpg", "5.jpg 5.jpg", "5.json 5.json",
                                              clips + "/a.avi clips/a.avi"}));

    while (std::optional<QueuedFile> next = queue.take(30000))
        next->path == img + "/4.jpg" ? queue.gone(*next) : queue.arrived(*next);
    EXPECT_EQ(err.lines(1)[0],
              "upload: " + img + "/4.jpg is gone before it was uploaded: dropped from the queue");
    EXPECT_EQ(queue.summary(30000).files, 0u);
    EXPECT_TRUE(std::filesystem::is_empty(img + "/.upload"));
}

// The file under a hidden name beside its final one, then renamed, the
// names after "--" (a snapshot folder named "-x" is no option); the window,
// which may cross midnight. (The copy itself is checked end to end.)
TEST(Uploads, RcloneIsAskedForAHiddenCopyThenARenameInsideTheWindow) {
    UploadSettings settings;
    settings.remote = "sky:roof";
    CapturedStream err;
    const Uploader uploader(settings, "-x", "clips", nullptr, err.file);
    const QueuedFile file{"-x/5.jpg", "5.jpg", 0, 0};
    using Words = std::vector<std::string>;
    const Words copy = uploader.copyArguments(file), rename = uploader.renameArguments(file);
    EXPECT_EQ(Words(copy.end() - 3, copy.end()), (Words{"--", "-x/5.jpg", "sky:roof/.5.jpg.partial"}));
    EXPECT_EQ(Words(rename.end() - 3, rename.end()),
              (Words{"--", "sky:roof/.5.jpg.partial", "sky:roof/5.jpg"}));
    for (const auto& [from, to, minute, inside] :
         std::vector<std::tuple<int, int, int, bool>>{{9 * 60, 17 * 60, 9 * 60, true},
                                                      {9 * 60, 17 * 60, 17 * 60, false},
                                                      {9 * 60, 17 * 60, 3 * 60, false},
                                                      {22 * 60, 6 * 60, 23 * 60, true},
                                                      {22 * 60, 6 * 60, 2 * 60, true},
                                                      {22 * 60, 6 * 60, 6 * 60, false},
                                                      {22 * 60, 6 * 60, 12 * 60, false}})
        EXPECT_EQ(insideWindow({from, to}, minute), inside) << from << "-" << to << " at " << minute;
}

// The real rclone, to an alias of a local folder: the copy arrives whole;
// a remote that does not exist fails with rclone's own words, without its
// time stamp; a stop ends rclone.
TEST(Uploads, RcloneCopiesAndSaysWhyNot) {
    if (std::system("command -v rclone >/dev/null") != 0) GTEST_SKIP() << "needs rclone";
    TempWorkingDir dir;
    std::filesystem::create_directory("remote");
    std::ofstream("rclone.conf") << "[here]\ntype = alias\nremote = "
                                 << std::filesystem::absolute("remote").string() << "\n";
    std::ofstream("5.jpg") << std::string(100000, 'x');
    const std::atomic<bool> goOn{false};
    const Result<> copied = runRclone({"copyto", "5.jpg", "here:a/5.jpg", "--config", "rclone.conf"}, goOn);
    EXPECT_TRUE(copied) << copied.reason();
    EXPECT_EQ(textOf("remote/a/5.jpg"), std::string(100000, 'x'));
    const Result<> refused = runRclone({"copyto", "5.jpg", "nowhere:5.jpg", "--config", "rclone.conf"}, goOn);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.reason().find("nowhere"), std::string::npos) << refused.reason();
    EXPECT_NE(refused.reason().substr(0, 4), "2026") << refused.reason();
    const std::atomic<bool> stop{true};
    EXPECT_FALSE(
        runRclone({"serve", "http", "remote", "--addr", "127.0.0.1:0", "--config", "rclone.conf"}, stop));

    // A wrapper that leaves a child holding its stderr is not waited for,
    // the child goes with it, and the tool's secrets are not handed down.
    std::filesystem::create_directory("bin");
    std::ofstream("bin/rclone") << "#!/bin/sh\nsleep 300 & echo $! >sleeper.pid\n"
                                   "echo \"password: ${TRAILCAM_MQTT_PASSWORD:-none}\" >&2\nexit 3\n";
    std::filesystem::permissions("bin/rclone", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (std::filesystem::absolute("bin").string() + ":" + path).c_str(), 1);
    setenv("TRAILCAM_MQTT_PASSWORD", "hunter2", 1);
    const Result<> wrapped = runRclone({"version"}, goOn);
    setenv("PATH", path.c_str(), 1);
    unsetenv("TRAILCAM_MQTT_PASSWORD");
    EXPECT_EQ(wrapped.reason(), "password: none");
    const std::string sleeper = "/proc/" + textOf("sleeper.pid").substr(0, textOf("sleeper.pid").size() - 1);
    // Killed, it is gone (or a zombie) once the kernel has dealt with it.
    const auto dead = [&sleeper] {
        return !std::filesystem::exists(sleeper) ||
               textOf(sleeper + "/stat").find(") Z ") != std::string::npos;
    };
    for (int tenths = 0; tenths < 100 && !dead(); ++tenths)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(dead()) << "the wrapper's child lives on: " << textOf(sleeper + "/stat");
}

namespace {

struct Queued : WaitingUploads {
    std::set<std::string> paths;
    bool waiting(const std::string& path) const override { return paths.count(path) > 0; }
};

}  // namespace

// Retention leaves queued files alone when only their age speaks against
// them; --max-disk may take them, and says so.
TEST(Uploads, RetentionSparesQueuedFilesUnlessTheDiskMustMakeRoom) {
    TempWorkingDir dir;
    for (const char* path : {"img/1.jpg", "img/1.json", "img/2.jpg", "img/3.jpg"})
        plant(path, std::chrono::hours(300));
    plant("img/9.jpg", std::chrono::hours(1));  // the newest
    Queued queued;
    queued.paths = {"img/1.json", "img/2.jpg"};
    CapturedStream err;
    Retention byAge("img", "clips", {3.0, std::nullopt}, err.file);
    byAge.spare(&queued);
    byAge.enforce(millis());
    EXPECT_EQ(err.lines(),
              (std::vector<std::string>{"retention: deleted img/3.jpg, older than --keep-days"}));
    Retention bySize("img", "clips", {std::nullopt, Retention::parseSize("1K")}, err.file);
    bySize.spare(&queued);
    bySize.enforce(millis());
    EXPECT_EQ(err.lines(2),
              (std::vector<std::string>{"retention: deleted img/1.jpg (and 1.json) before it was uploaded",
                                        "retention: deleted img/2.jpg before it was uploaded"}));
    EXPECT_TRUE(std::filesystem::exists("img/9.jpg"));
}
