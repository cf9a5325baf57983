#pragma once

#include "cvio.h"

// Runs the tool on the given camera state with the real wall clock, windows
// (or none, without a display), snapshot files, terminal and stop signals.
// Returns the process exit status.
int runTrailCam(CaptureState& capture);
