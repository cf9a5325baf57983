#pragma once

// Makes the calling thread yield to the others of the process when the
// cores are busy: serving and encoding must never slow the capture loop.
void lowerThisThreadsPriority();

// Names the calling thread, as ps -L and /proc show it (at most 15 characters).
void nameThisThread(const char* name);
