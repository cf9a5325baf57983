#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessOptions {
    std::vector<std::string> argv;
    std::string workingDir = ".";
    std::optional<std::string> stdinText;  // nullopt: standard input at end of file
    // Variables to set; a nullopt value removes the variable.
    std::map<std::string, std::optional<std::string>> environment;
};

// A program started as a user would, its output collected in files.
class ChildProcess {
public:
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the exit; kills the process and returns false after timeoutSeconds.
    bool wait(double timeoutSeconds);
    bool running();
    // Exit code, or 128 + signal number when a signal ended it.
    int exitStatus() const { return exitStatus_; }
    std::string out() const;
    std::string err() const;
    // Polls the collected standard output until it contains text.
    bool waitForOutput(const std::string& text, double timeoutSeconds) const;

private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    std::string scratch_;
};
