#pragma once

#include "cli/CommandLine.h"

#include <opencv2/videoio.hpp>

// Runs what the settings ask for with the real devices: the trail loop on a
// camera (or the demo sky), the recorder, or the device list. `cap` is the
// process's camera; it is opened here, after the options have been read.
// Returns the process exit status.
int runTool(const Settings& settings, cv::VideoCapture& cap);
