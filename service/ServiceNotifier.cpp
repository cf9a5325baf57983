#include "service/ServiceNotifier.h"

#include "platform/ServiceManager.h"

#include <opencv2/core.hpp>

void ServiceNotifier::ready(const std::string& status) {
    if (ready_) return;
    ready_ = true;
    tell_("READY=1\n" + status);
}

void ServiceNotifier::ticked(const Tick& tick) { tell_("WATCHDOG=1\nSTATUS=" + statusLine(tick.status)); }

void ServiceNotifier::exposing(const Exposure& exposure) {
    tell_(cv::format("WATCHDOG=1\nSTATUS=exposing, %.0f s of %g s left", exposure.secondsLeft(),
                     exposure.seconds));
}

void ServiceNotifier::reconnecting(int64_t everyMs) {
    const std::string status = cv::format("STATUS=camera delivered no image, trying to reopen it every %g s",
                                          static_cast<double>(everyMs) / 1000);
    ready(status);
    tell_("WATCHDOG=1\n" + status);
}

std::unique_ptr<ServiceNotifier> makeServiceNotifier() {
    if (!serviceManagerListens()) return nullptr;
    return std::make_unique<ServiceNotifier>(tellServiceManager);
}
