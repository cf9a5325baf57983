#pragma once

#include "core/Display.h"
#include "core/Shelves.h"
#include "core/TrailEvents.h"

// The windows of a run, refreshed at each tick: the camera image in "frame",
// the trail in "imMin" and, with a panorama view, the unwrapped camera image
// in "panorama". They are placed side by side when they first open, the
// panorama below, so that none hides another where the desktop does not
// place windows itself.
class Windows : public TrailListener {
public:
    Windows(Display& display, Panorama* panorama) : display_(display), panorama_(panorama) {}
    void ticked(const Tick& tick) override;

private:
    Display& display_;
    Panorama* panorama_;
    bool placed_ = false;
    bool panoramaPlaced_ = false;
};
