#pragma once

#include "core/TrailEvents.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct BudgetSettings {
    bool print = false;  // --budget
};

// What a run cost: for each listener, its time on the loop's thread per image
// and per tick (and in all for the rarer events); for each thread, by name,
// its share of a core. Printed on err as the run ends.
class Budget {
public:
    explicit Budget(FILE* err);
    ~Budget();
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    // The listeners, each in a wrapper that times what the loop tells it; the
    // first of them counts the images and ticks and reads the threads' times.
    std::vector<TrailListener*> timed(const std::vector<TrailListener*>& listeners);
    // The table, once the run is over.
    void print() const;

    // The processor time of each of this process's threads, in seconds, by
    // thread name (threads of one name added up).
    static std::map<std::string, double> threadSeconds();

private:
    class Timed;
    class Counter;
    FILE* err_;
    std::unique_ptr<Counter> counter_;
    std::vector<std::unique_ptr<Timed>> timed_;
};
