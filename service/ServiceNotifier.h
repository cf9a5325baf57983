#pragma once

#include "core/TrailEvents.h"

#include <functional>
#include <memory>
#include <string>

// Tells the service manager how the run goes: ready once the first image is
// in (or the camera is being waited for), alive at each tick and while it
// waits for a long exposure or a lost camera, the latest status line, and
// stopping at an orderly end. Fed from the loop's own thread only, so that a
// loop stuck in a driver call goes quiet and gets the service restarted.
class ServiceNotifier : public TrailListener {
public:
    explicit ServiceNotifier(std::function<void(const std::string&)> tell) : tell_(std::move(tell)) {}
    void framed(const Frame&) override { ready("STATUS=running"); }
    void ticked(const Tick& tick) override;
    void exposing(const Exposure& exposure) override;
    void cameraEmpty() override { tell_("STATUS=camera delivered no image"); }
    void reconnecting(int64_t everyMs) override;
    void waitingForCamera() override { tell_("WATCHDOG=1"); }
    void cameraBack() override { tell_("WATCHDOG=1\nSTATUS=camera is back"); }
    void ended() override { tell_("STOPPING=1\nSTATUS=closing"); }

private:
    void ready(const std::string& status);

    std::function<void(const std::string&)> tell_;
    bool ready_ = false;
};

// A notifier when the service manager asked to be told; none otherwise.
std::unique_ptr<ServiceNotifier> makeServiceNotifier();
