#pragma once

#include "core/Clocks.h"

#include <cstdint>

// Wall-clock milliseconds from the time-of-day clock.
int64_t millis();

class SystemProcessorClock : public ProcessorClock {
public:
    std::clock_t now() override;
};
