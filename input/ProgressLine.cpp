#include "input/ProgressLine.h"

#include <string>

namespace {

std::string clockTime(double seconds) {
    const auto s = static_cast<long long>(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

}  // namespace

ProgressLine::ProgressLine(FILE* terminal) : terminal_(terminal), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::update(int64_t done, std::optional<int64_t> total) {
    done_ = done;
    total_ = total;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn_ >= std::chrono::milliseconds(100)) draw(now);
}

void ProgressLine::finish() {
    if (done_ == 0) return;
    draw(std::chrono::steady_clock::now());
    std::fputc('\n', terminal_);
    std::fflush(terminal_);
}

void ProgressLine::draw(std::chrono::steady_clock::time_point now) {
    lastDrawn_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    std::string line = std::to_string(done_);
    if (total_) line += "/" + std::to_string(*total_);
    char rest[96];
    std::snprintf(rest, sizeof rest, " images  %.0f images/s  elapsed %s", rate, clockTime(elapsed).c_str());
    line += rest;
    if (total_ && rate > 0) line += "  remaining " + clockTime(static_cast<double>(*total_ - done_) / rate);
    // \r and clear to the end of the line: the status lines go to stdout.
    std::fprintf(terminal_, "\r%s\033[K", line.c_str());
    std::fflush(terminal_);
}
