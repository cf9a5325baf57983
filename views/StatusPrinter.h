#pragma once

#include "core/TrailEvents.h"

#include <cstdio>

// The run as lines on the console: the status line of every tick, each
// snapshot, camera changes and the stop; notes that do not end the run go
// to err. Every line goes out as soon as it is made.
class StatusPrinter : public TrailListener {
public:
    StatusPrinter(FILE* out, FILE* err) : out_(out), err_(err) {}
    void started() override;
    void ticked(const Tick& tick) override;
    void snapshotDue(const SnapshotDue& due) override;
    void modeChanged(const ModeChange& change) override;
    void converting(int type) override;
    void cameraEmpty() override;
    void reconnecting(int64_t everyMs) override;
    void cameraBack() override;
    void stopping() override;
    void ended() override;

private:
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    FILE* out_;
    FILE* err_;
};
