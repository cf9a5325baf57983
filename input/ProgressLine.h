#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>

// One line on a terminal, redrawn at most ten times a second: images done
// (of how many, when known), images per second, elapsed and remaining time.
class ProgressLine {
public:
    explicit ProgressLine(FILE* terminal);
    void update(int64_t done, std::optional<int64_t> total);
    // Draws the last state and ends the line.
    void finish();

private:
    void draw(std::chrono::steady_clock::time_point now);

    FILE* terminal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDrawn_{};
    int64_t done_ = 0;
    std::optional<int64_t> total_;
    bool drawn_ = false;
};
