#pragma once

#include "Fakes.h"
#include "cvio.h"
#include "trail/TrailLoop.h"

#include <csignal>
#include <cstdio>

// What a loop runs on besides its listeners: a camera of this kind read
// through the start-up, a simulated clock, scripted keys, snapshots kept in
// memory, the console captured, and a terminal holding one key (what a run
// without images waits for).
template <typename CameraType = SyntheticCamera>
struct LoopParts {
    CameraType camera;
    SimulatedClock clock;
    ScriptedDisplay display;
    MemorySnapshots snapshots;
    CapturedStream out, err;
    FILE* terminal = fmemopen(const_cast<char*>("x"), 1, "r");
    CaptureState capture{camera, clock, out.file, err.file};
    CaptureSource source{capture};

    LoopParts() = default;
    LoopParts(const LoopParts&) = delete;
    LoopParts& operator=(const LoopParts&) = delete;
    ~LoopParts() { std::fclose(terminal); }
    TrailInputs inputs(const volatile std::sig_atomic_t* stop = nullptr) {
        return {display, snapshots, terminal, nullptr, stop};
    }
};
