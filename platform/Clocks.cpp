#include "platform/Clocks.h"

#include <sys/time.h>

int64_t millis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

std::clock_t SystemProcessorClock::now() { return std::clock(); }
