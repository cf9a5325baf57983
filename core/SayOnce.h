#pragma once

#include <cstdio>
#include <string>

// Says a line when it is new, not at every repetition: a failure that lasts
// is said once, and again only once something else was said.
class SayOnce {
public:
    explicit SayOnce(FILE* to) : to_(to) {}
    void say(const std::string& line) {
        if (line == last_) return;
        last_ = line;
        std::fprintf(to_, "%s\n", line.c_str());
        std::fflush(to_);
    }
    // Whether nothing was said yet.
    bool silent() const { return last_.empty(); }

private:
    FILE* to_;
    std::string last_;
};
