#include "trail/TimeMap.h"

#include "core/VectorPath.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdint>

namespace {

// Pixels [from, pixels): the plain form, for the end of a vector pass, for
// processors without AVX2 and BMI2, and for other processors.
// (base: the index of the first pixel, for the stamped pixels' list.)
template <typename T>
void mergePlain(T* trail, float* times, const T* frame, size_t from, size_t pixels, int channels,
                float seconds, int minRise, StampedPixels* stamped, size_t base) {
    const auto c = static_cast<size_t>(channels);
    for (size_t p = from; p < pixels; ++p) {
        bool raised = false;
        for (size_t k = p * c; k < p * c + c; ++k) {
            raised |= static_cast<int>(frame[k]) - static_cast<int>(trail[k]) > minRise;
            trail[k] = std::max(trail[k], frame[k]);
        }
        if (!raised) continue;
        times[p] = seconds;
        if (stamped != nullptr) stamped->add(base + p);
    }
}

// The pixels whose bits are set, from `first` on.
[[maybe_unused]] void addStamped(StampedPixels* stamped, uint64_t bits, size_t first) {
    for (; bits != 0; bits &= bits - 1)
        stamped->add(first + static_cast<size_t>(__builtin_ctzll(bits)));
}

#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
// Writes the time into the pixels whose bit is set, 8 at a time: a blend of
// the old times and the new, without a branch that noise would make
// unpredictable; a run in which no pixel rose is not touched.
__attribute__((target("avx2"))) inline void stampPixels(float* at, uint64_t pixels, size_t count,
                                                        __m256 time) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    if (pixels == 0) return;
    for (size_t g = 0; g < count; g += 8) {
        const auto eight = static_cast<int>((pixels >> g) & 0xff);
        const __m256 mask =
            _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(eight), lanes), lanes));
        _mm256_storeu_ps(at + g, _mm256_blendv_ps(_mm256_loadu_ps(at + g), time, mask));
    }
}

// 96 bytes at a time (32 pixels of 3 bytes, 24 of 4, ...): the merge as three
// 32-byte maxima; the bytes it raised as one bit each; a pixel's bits folded
// onto its first and picked out (pext); the time written where a pixel rose.
__attribute__((target("avx2,bmi2"))) size_t mergeAvx2(uint8_t* trail, float* times, const uint8_t* frame,
                                                      size_t bytes, int channels, float seconds, int minRise,
                                                      StampedPixels* stamped) {
    const auto c = static_cast<size_t>(channels);
    uint64_t firstBits = 0;  // the first bit of each pixel among 48
    for (size_t bit = 0; bit < 48; bit += c)
        firstBits |= uint64_t{1} << bit;
    const __m256 time = _mm256_set1_ps(seconds);
    const __m256i least = _mm256_set1_epi8(static_cast<char>(std::clamp(minRise, 0, 255)));
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 96 <= bytes; i += 96) {
        uint32_t raised[3];
        for (size_t k = 0; k < 3; ++k) {
            auto* t = reinterpret_cast<__m256i*>(trail + i + 32 * k);
            const __m256i before = _mm256_loadu_si256(t);
            const __m256i image = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame + i + 32 * k));
            _mm256_storeu_si256(t, _mm256_max_epu8(before, image));
            // Rose by more than minRise: what is left of the rise past it is not 0.
            const __m256i past = _mm256_subs_epu8(_mm256_subs_epu8(image, before), least);
            raised[k] = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(past, zero)));
        }
        if ((raised[0] | raised[1] | raised[2]) == 0) continue;  // the common case once a trail is old
        const uint64_t halves[2] = {raised[0] | (uint64_t{raised[1] & 0xffff} << 32),
                                    (raised[1] >> 16) | (uint64_t{raised[2]} << 16)};
        uint64_t pixels[2] = {0, 0};
        for (size_t h = 0; h < 2; ++h) {
            uint64_t folded = halves[h];
            for (size_t k = 1; k < c; ++k)
                folded |= halves[h] >> k;
            pixels[h] = _pext_u64(folded, firstBits);
        }
        float* at = times + i / c;
        if (c == 4) {  // 12 pixels a half: one run of 24, in groups of 8
            stampPixels(at, pixels[0] | pixels[1] << 12, 24, time);
            if (stamped != nullptr) addStamped(stamped, pixels[0] | pixels[1] << 12, i / c);
        } else {  // 48, 24 or 16 pixels a half
            stampPixels(at, pixels[0], 48 / c, time);
            stampPixels(at + 48 / c, pixels[1], 48 / c, time);
            if (stamped != nullptr) {
                addStamped(stamped, pixels[0], i / c);
                addStamped(stamped, pixels[1], i / c + 48 / c);
            }
        }
    }
    return i;
}
#endif

}  // namespace

void mergeRecordingTimes(cv::Mat& trail, cv::Mat& times, const cv::Mat& frame, float seconds, int minRise) {
    mergeRecordingTimes(trail, times, frame, seconds, minRise, nullptr);
}

void mergeRecordingTimes(cv::Mat& trail, cv::Mat& times, const cv::Mat& frame, float seconds, int minRise,
                         StampedPixels* stamped) {
    CV_Assert((trail.depth() == CV_8U || trail.depth() == CV_16U) && trail.channels() <= 4 &&
              frame.size() == trail.size() && frame.type() == trail.type() && times.size() == trail.size() &&
              times.type() == CV_32FC1);
    const int channels = trail.channels();
    const auto cols = static_cast<size_t>(trail.cols);
    if (trail.depth() == CV_16U) {  // --depth 16: a camera of an image a second, the plain form
        for (int row = 0; row < trail.rows; ++row)
            mergePlain(trail.ptr<uint16_t>(row), times.ptr<float>(row), frame.ptr<uint16_t>(row), 0, cols,
                       channels, seconds, minRise, stamped, static_cast<size_t>(row) * cols);
        return;
    }
    if (!trail.isContinuous() || !frame.isContinuous() || !times.isContinuous()) {
        for (int row = 0; row < trail.rows; ++row)
            mergePlain(trail.ptr(row), times.ptr<float>(row), frame.ptr(row), 0, cols, channels, seconds,
                       minRise, stamped, static_cast<size_t>(row) * cols);
        return;
    }
    const size_t pixels = trail.total();
    size_t done = 0;
#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
    // The time map's stamping has an AVX2 path only: elsewhere the plain loop.
    static const bool bmi2 = __builtin_cpu_supports("bmi2");
    if (bmi2 && vectorPath() >= VectorPath::avx2)
        done = mergeAvx2(trail.data, times.ptr<float>(), frame.data, pixels * static_cast<size_t>(channels),
                         channels, seconds, minRise, stamped) /
               static_cast<size_t>(channels);
#endif
    mergePlain(trail.data, times.ptr<float>(), frame.data, done, pixels, channels, seconds, minRise, stamped,
               0);
}
