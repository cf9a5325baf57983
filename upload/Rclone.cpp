#include "upload/Rclone.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr size_t kLongestReason = 300;

// rclone's lines start with a date: "2026/12/08 14:00:00 ERROR : ...".
std::string withoutStamp(std::string line) {
    if (line.size() > 20 && line[4] == '/' && line[7] == '/' && line[13] == ':' && line[19] == ' ')
        line = line.substr(20);
    return line.size() > kLongestReason ? line.substr(0, kLongestReason) : line;
}

constexpr auto kTermGrace = std::chrono::seconds(5);
// rclone has ended but something it started still holds its stderr: that
// long for the last words, then the group goes.
constexpr auto kLeftoverGrace = std::chrono::seconds(2);

// The tool's environment without what rclone has no business seeing.
std::vector<std::string> rcloneEnvironment() {
    std::vector<std::string> kept;
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp(*variable, "TRAILCAM_", 9) != 0) kept.emplace_back(*variable);
    return kept;
}

// In the child, between fork and exec: only what is safe there. rclone
// leads a process group of its own, so that a stop reaches whatever it (or
// a wrapper around it) starts.
[[noreturn]] void becomeRclone(int errWrite, char* const argv[], char* const envp[]) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);  // ignored by the tool; an ignored signal stays so across exec
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errWrite, 2);
    execvpe("rclone", argv, envp);
    static const char kMissing[] = "rclone cannot be started (is it installed?)\n";
    (void)!write(2, kMissing, sizeof kMissing - 1);
    _exit(127);
}

}  // namespace

Result<> runRclone(const std::vector<std::string>& args, const std::atomic<bool>& stop) {
    std::vector<std::string> words{"rclone"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = rcloneEnvironment();
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        return Failure{std::string("cannot start rclone: ") + std::strerror(errno)};
    const pid_t child = fork();
    if (child == 0) becomeRclone(err[1], argv.data(), envp.data());
    close(err[1]);
    if (child < 0) {
        close(err[0]);
        return Failure{std::string("cannot start rclone: ") + std::strerror(errno)};
    }
    setpgid(child, child);  // as the child does: whichever runs first
    std::string pending, last;
    auto killAt = std::chrono::steady_clock::time_point::max();
    bool termSent = false, ended = false;
    int status = 0;
    for (;;) {
        pollfd readable{err[0], POLLIN, 0};
        if (poll(&readable, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t got = read(err[0], buffer, sizeof buffer);
            if (got <= 0) break;  // nobody holds its stderr any more
            pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                if (end > 0) last = pending.substr(0, end);
        }
        // Looked at, not reaped: its number (and its group's) stays taken
        // until the group has been dealt with.
        siginfo_t info{};
        if (!ended && waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == child) {
            ended = true;
            killAt = std::min(killAt, std::chrono::steady_clock::now() + kLeftoverGrace);
        }
        if (stop && !termSent) {
            kill(-child, SIGTERM);
            termSent = true;
            killAt = std::min(killAt, std::chrono::steady_clock::now() + kTermGrace);
        }
        if (std::chrono::steady_clock::now() >= killAt) {
            kill(-child, SIGKILL);
            if (ended) break;
        }
    }
    close(err[0]);
    kill(-child, SIGKILL);  // whatever it left behind
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    if (!pending.empty()) last = pending;
    if (last.empty()) last = WIFSIGNALED(status) ? "rclone was stopped" : "rclone failed";
    return Failure{withoutStamp(last)};
}
