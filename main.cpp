#include "app/runTool.h"
#include "cli/CommandLine.h"

#include <opencv2/videoio.hpp>

#include <cstdio>

namespace {
// The process's camera: created first and so closed last; opened once the
// options say which device it is.
cv::VideoCapture cap;
}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv, stdout, stderr);
    if (commandLine.exitStatus) return *commandLine.exitStatus;
    return runTool(commandLine.settings, cap);
}
