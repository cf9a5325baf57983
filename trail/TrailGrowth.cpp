#include "trail/TrailGrowth.h"

#include "core/VectorPath.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

int32_t saturated(uint64_t sum) {
    return static_cast<int32_t>(std::min<uint64_t>(sum, std::numeric_limits<int32_t>::max()));
}

// Bytes [from, bytes), from a pixel boundary: the plain form, for the end of
// a vector pass and for processors without AVX2 (or not x86 at all).
template <bool Merge>
uint64_t growthPlain(uint8_t* trail, uint8_t* previous, const uint8_t* frame, size_t from, size_t bytes,
                     int channels) {
    uint64_t sum = 0;
    for (size_t i = from; i < bytes; i += static_cast<size_t>(channels))
        if (trail[i] > previous[i]) sum += static_cast<uint64_t>(trail[i] - previous[i]);
    std::memcpy(previous + from, trail + from, bytes - from);
    if constexpr (Merge)
        for (size_t i = from; i < bytes; ++i)
            trail[i] = std::max(trail[i], frame[i]);
    return sum;
}

// Selects the first channel's bytes among interleaved pixels of `channels`
// bytes (1 to 4). The pattern repeats every 96 bytes for all of them.
constexpr size_t kCycle = 96;

[[maybe_unused]] void firstChannelMask(int channels, uint8_t mask[kCycle]) {
    for (size_t i = 0; i < kCycle; ++i)
        mask[i] = i % static_cast<size_t>(channels) == 0 ? 0xff : 0;
}

#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
// The same on 16-byte vectors, through OpenCV's universal intrinsics (NEON on
// ARM): each cycle's growth widened to 16 bits, then to 32.
template <bool Merge>
uint64_t growthUniversal(uint8_t* trail, uint8_t* previous, const uint8_t* frame, size_t bytes,
                         int channels) {
    alignas(16) uint8_t maskBytes[kCycle];
    firstChannelMask(channels, maskBytes);
    cv::v_uint8x16 masks[kCycle / 16];
    for (size_t m = 0; m < kCycle / 16; ++m)
        masks[m] = cv::v_load_aligned(maskBytes + 16 * m);
    uint64_t total = 0;
    cv::v_uint32x4 sums = cv::v_setzero_u32();
    size_t i = 0, cycles = 0;
    for (; i + kCycle <= bytes; i += kCycle) {
        cv::v_uint16x8 cycle = cv::v_setzero_u16();  // at most 12 x 255 a lane
        for (size_t m = 0; m < kCycle / 16; ++m) {
            const size_t at = i + 16 * m;
            const cv::v_uint8x16 now = cv::v_load(trail + at);
            const cv::v_uint8x16 grown = (now - cv::v_load(previous + at)) & masks[m];  // saturated
            cv::v_store(previous + at, now);
            if constexpr (Merge) cv::v_store(trail + at, cv::v_max(now, cv::v_load(frame + at)));
            cv::v_uint16x8 low, high;
            cv::v_expand(grown, low, high);
            cycle += low + high;
        }
        cv::v_uint32x4 low, high;
        cv::v_expand(cycle, low, high);
        sums += low + high;
        if (++cycles % 4096 == 0) {  // long before a 32-bit lane fills
            total += cv::v_reduce_sum(sums);
            sums = cv::v_setzero_u32();
        }
    }
    return total + cv::v_reduce_sum(sums) + growthPlain<Merge>(trail, previous, frame, i, bytes, channels);
}
#endif

#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
// The saturated growth of the first-channel bytes of each 32-byte block is
// summed in 64-bit lanes (psadbw), each block is copied to previous on the
// way and, when merging, the frame's block is merged into the trail in the
// same pass.
template <bool Merge>
__attribute__((target("avx2"))) uint64_t growthAvx2(uint8_t* trail, uint8_t* previous, const uint8_t* frame,
                                                    size_t bytes, int channels) {
    alignas(32) uint8_t maskBytes[kCycle];
    firstChannelMask(channels, maskBytes);
    __m256i masks[kCycle / 32];
    for (size_t m = 0; m < kCycle / 32; ++m)
        masks[m] = _mm256_load_si256(reinterpret_cast<const __m256i*>(maskBytes + 32 * m));
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    size_t i = 0;
    for (; i + kCycle <= bytes; i += kCycle) {
        for (size_t m = 0; m < kCycle / 32; ++m) {
            const size_t at = i + 32 * m;
            auto* t = reinterpret_cast<__m256i*>(trail + at);
            auto* p = reinterpret_cast<__m256i*>(previous + at);
            const __m256i now = _mm256_loadu_si256(t);
            const __m256i grown = _mm256_and_si256(_mm256_subs_epu8(now, _mm256_loadu_si256(p)), masks[m]);
            _mm256_storeu_si256(p, now);
            if constexpr (Merge)
                _mm256_storeu_si256(
                    t,
                    _mm256_max_epu8(now, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame + at))));
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(grown, zero));
        }
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] +
           growthPlain<Merge>(trail, previous, frame, i, bytes, channels);
}
#endif

template <bool Merge>
uint64_t growth(uint8_t* trail, uint8_t* previous, const uint8_t* frame, size_t bytes, int channels) {
    [[maybe_unused]] const VectorPath path = vectorPath();
#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
    if (path >= VectorPath::avx2) return growthAvx2<Merge>(trail, previous, frame, bytes, channels);
#endif
#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
    if (path >= VectorPath::universal) return growthUniversal<Merge>(trail, previous, frame, bytes, channels);
#endif
    return growthPlain<Merge>(trail, previous, frame, 0, bytes, channels);
}

// Both images continuous 8-bit with 1 to 4 channels, of one size and type.
bool vectorLayout(const cv::Mat& trail, const cv::Mat& other) {
    return trail.depth() == CV_8U && trail.channels() <= 4 && trail.isContinuous() && other.isContinuous() &&
           other.size() == trail.size() && other.type() == trail.type() && other.data != trail.data;
}

int32_t plainGrowth(const cv::Mat& trail, cv::Mat& previous) {
    cv::Mat grown;
    cv::subtract(trail, previous, grown);
    trail.copyTo(previous);
    // A 16-bit trail's growth counts in 8-bit steps: shifted right by 8.
    const double sum = trail.depth() == CV_16U ? std::floor(cv::sum(grown)[0] / 256) : cv::sum(grown)[0];
    if (sum >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

}  // namespace

int32_t firstChannelGrowth(const cv::Mat& trail, cv::Mat& previous) {
    if (!vectorLayout(trail, previous)) return plainGrowth(trail, previous);
    return saturated(growth<false>(trail.data, previous.data, nullptr, trail.total() * trail.elemSize(),
                                   trail.channels()));
}

int32_t firstChannelGrowthAndMerge(cv::Mat& trail, cv::Mat& previous, const cv::Mat& frame) {
    if (!vectorLayout(trail, previous) || !vectorLayout(trail, frame)) {
        const int32_t grown = plainGrowth(trail, previous);
        cv::max(trail, frame, trail);
        return grown;
    }
    return saturated(growth<true>(trail.data, previous.data, frame.data, trail.total() * trail.elemSize(),
                                  trail.channels()));
}
