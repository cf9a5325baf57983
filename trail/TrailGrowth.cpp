#include "trail/TrailGrowth.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

int32_t saturated(uint64_t sum) {
    return static_cast<int32_t>(std::min<uint64_t>(sum, std::numeric_limits<int32_t>::max()));
}

// Selects the first channel's bytes among interleaved pixels of `channels`
// bytes (1 to 4). The pattern repeats every 96 bytes for all of them.
constexpr size_t kCycle = 96;

void firstChannelMask(int channels, uint8_t mask[kCycle]) {
    for (size_t i = 0; i < kCycle; ++i)
        mask[i] = i % static_cast<size_t>(channels) == 0 ? 0xff : 0;
}

// The bytes after the last whole cycle.
uint64_t growthAndCopyTail(const uint8_t* trail, uint8_t* previous, size_t from, size_t bytes, int channels) {
    uint64_t sum = 0;
    for (size_t i = from; i < bytes; ++i) {
        if (i % static_cast<size_t>(channels) == 0 && trail[i] > previous[i])
            sum += static_cast<uint64_t>(trail[i] - previous[i]);
        previous[i] = trail[i];
    }
    return sum;
}

// The saturated growth of the first-channel bytes of each block is summed in
// 64-bit lanes (psadbw), and each block is copied to previous on the way.
uint64_t growthAndCopySse2(const uint8_t* trail, uint8_t* previous, size_t bytes, int channels) {
    alignas(32) uint8_t maskBytes[kCycle];
    firstChannelMask(channels, maskBytes);
    __m128i masks[kCycle / 16];
    for (size_t m = 0; m < kCycle / 16; ++m)
        masks[m] = _mm_load_si128(reinterpret_cast<const __m128i*>(maskBytes + 16 * m));
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    size_t i = 0;
    for (; i + kCycle <= bytes; i += kCycle) {
        for (size_t m = 0; m < kCycle / 16; ++m) {
            const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(trail + i + 16 * m));
            auto* p = reinterpret_cast<__m128i*>(previous + i + 16 * m);
            const __m128i grown = _mm_and_si128(_mm_subs_epu8(now, _mm_loadu_si128(p)), masks[m]);
            _mm_storeu_si128(p, now);
            sums = _mm_add_epi64(sums, _mm_sad_epu8(grown, zero));
        }
    }
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
    return lanes[0] + lanes[1] + growthAndCopyTail(trail, previous, i, bytes, channels);
}

// The same with 32-byte vectors, for processors that have them.
__attribute__((target("avx2"))) uint64_t growthAndCopyAvx2(const uint8_t* trail, uint8_t* previous,
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
            const __m256i now = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(trail + i + 32 * m));
            auto* p = reinterpret_cast<__m256i*>(previous + i + 32 * m);
            const __m256i grown = _mm256_and_si256(_mm256_subs_epu8(now, _mm256_loadu_si256(p)), masks[m]);
            _mm256_storeu_si256(p, now);
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(grown, zero));
        }
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + growthAndCopyTail(trail, previous, i, bytes, channels);
}

uint64_t growthAndCopy(const uint8_t* trail, uint8_t* previous, size_t bytes, int channels) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 ? growthAndCopyAvx2(trail, previous, bytes, channels)
                : growthAndCopySse2(trail, previous, bytes, channels);
}

}  // namespace

int32_t firstChannelGrowth(const cv::Mat& trail, cv::Mat& previous) {
    const bool fast = trail.depth() == CV_8U && trail.channels() <= 4 && trail.isContinuous() &&
                      previous.isContinuous() && previous.size() == trail.size() &&
                      previous.type() == trail.type() && previous.data != trail.data;
    if (fast) {
        return saturated(
            growthAndCopy(trail.data, previous.data, trail.total() * trail.elemSize(), trail.channels()));
    }
    // Other layouts: the plain saturating subtraction and sum.
    cv::Mat grown;
    cv::subtract(trail, previous, grown);
    trail.copyTo(previous);
    const double sum = cv::sum(grown)[0];
    if (sum >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}
