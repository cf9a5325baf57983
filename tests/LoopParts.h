#pragma once

#include "Fakes.h"
#include "cvio.h"
#include "trail/TrailLoop.h"

#include <csignal>
#include <cstdio>

// What a loop runs on besides its listeners: a camera of this kind read
// through the start-up, a simulated clock, scripted keys, snapshots kept in
// memory, the console captured, a terminal holding two keys (a run without
// images waits for one) and a stop request.
template <typename CameraType = SyntheticCamera>
struct LoopParts {
    CameraType camera;
    SimulatedClock clock;
    ScriptedDisplay display;
    MemorySnapshots snapshots;
    CapturedStream out, err;
    FILE* terminal = fmemopen(const_cast<char*>("xy"), 2, "r");
    volatile std::sig_atomic_t stop = 0;
    CaptureState capture{camera, clock, out.file, err.file};
    CaptureSource source{capture};

    LoopParts() = default;
    LoopParts(const LoopParts&) = delete;
    LoopParts& operator=(const LoopParts&) = delete;
    ~LoopParts() { std::fclose(terminal); }
    TrailInputs inputs(FILE* otherTerminal = nullptr) {
        return {display, snapshots, otherTerminal != nullptr ? otherTerminal : terminal, nullptr, &stop};
    }
};
