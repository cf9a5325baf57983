#pragma once

// Makes the calling thread yield to the others of the process when the
// cores are busy: serving and encoding must never slow the capture loop.
void lowerThisThreadsPriority();
