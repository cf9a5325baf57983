#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The pixels a merge with a time map wrote a time to (y * cols + x, in the
// order written; again when written again), at most `most` of them; full
// once more were.
struct StampedPixels {
    std::vector<uint32_t> list;
    size_t most = 0;
    bool full = false;
    void add(size_t pixel) {
        if (list.size() < most)
            list.push_back(static_cast<uint32_t>(pixel));
        else
            full = true;
    }
    void clear() { list.clear(), full = false; }
};
