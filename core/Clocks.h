#pragma once

#include <ctime>

// Processor time of the process, in clock() ticks.
class ProcessorClock {
public:
    static constexpr double kTicksPerSecond = 1000000.0;
    virtual ~ProcessorClock() = default;
    virtual std::clock_t now() = 0;
};
