#include "core/VectorPath.h"

#include <algorithm>
#include <atomic>

namespace {

VectorPath detected() {
#if defined(TRAILCAM_NO_VECTORS)
    return VectorPath::plain;
#elif defined(__x86_64__)
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f")) return VectorPath::avx512;
    if (__builtin_cpu_supports("avx2")) return VectorPath::avx2;
    return VectorPath::universal;
#elif defined(__aarch64__)
    return VectorPath::universal;
#else
    return VectorPath::plain;
#endif
}

std::atomic<VectorPath>& taken() {
    static std::atomic<VectorPath> path{bestVectorPath()};
    return path;
}

}  // namespace

VectorPath bestVectorPath() {
    static const VectorPath best = detected();
    return best;
}

VectorPath vectorPath() { return taken().load(std::memory_order_relaxed); }

VectorPath useVectorPath(VectorPath path) {
    const VectorPath used = std::min(path, bestVectorPath());
    taken().store(used);
    return used;
}

const char* vectorPathName(VectorPath path) {
    switch (path) {
        case VectorPath::plain:
            return "plain";
        case VectorPath::universal:
#if defined(__aarch64__)
            return "universal (NEON)";
#else
            return "universal (SSE2)";
#endif
        case VectorPath::avx2:
            return "AVX2";
        case VectorPath::avx512:
            return "AVX-512";
    }
    return "plain";
}

const char* processorName() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "aarch64";
#else
    return "other";
#endif
}
