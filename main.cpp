#include "app/runTool.h"
#include "cli/CommandLine.h"

#include <opencv2/videoio.hpp>

#include <cstdio>
#include <exception>

namespace {
// The process's camera: created first and so closed last; opened once the
// options say which device it is.
cv::VideoCapture cap;
}  // namespace

int main(int argc, char** argv) {
    try {
        const CommandLine commandLine = parseCommandLine(argc, argv, stdout, stderr);
        if (commandLine.exitStatus) return *commandLine.exitStatus;
        return runTool(commandLine.settings, cap);
    } catch (const std::exception& e) {
        // An OpenCV error or a failed allocation ends the run with one line, not a core dump.
        std::fprintf(stderr, "trailcam: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "trailcam: unknown error\n");
    }
    return 1;
}
