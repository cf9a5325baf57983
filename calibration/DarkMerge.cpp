#include "calibration/DarkMerge.h"

#include "core/VectorPath.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

// Elements [from, count): the plain form, for the end of a vector pass and
// for processors without AVX2.
template <typename T>
void plain(const T* image, const T* dark, T* out, T* trail, size_t from, size_t count) {
    for (size_t i = from; i < count; ++i) {
        const T value = dark == nullptr      ? image[i]
                        : image[i] > dark[i] ? static_cast<T>(image[i] - dark[i])
                                             : T{0};
        out[i] = value;
        if (trail != nullptr) trail[i] = std::max(trail[i], value);
    }
}

#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
// 16 bytes at a time through OpenCV's universal intrinsics (NEON on ARM):
// their - is the saturating subtraction for 8- and 16-bit elements.
template <typename V, typename T>
void universal(const T* image, const T* dark, T* out, T* trail, size_t count) {
    constexpr size_t kLanes = V::nlanes;
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        V value = cv::v_load(image + i);
        if (dark != nullptr) value = value - cv::v_load(dark + i);
        cv::v_store(out + i, value);
        if (trail != nullptr) cv::v_store(trail + i, cv::v_max(value, cv::v_load(trail + i)));
    }
    plain(image, dark, out, trail, i, count);
}
#endif

#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
// 32 bytes at a time: the saturating subtraction and the maximum of 8- or
// 16-bit elements.
template <typename T>
__attribute__((target("avx2"))) void avx2(const T* image, const T* dark, T* out, T* trail, size_t count) {
    constexpr size_t kLanes = 32 / sizeof(T);
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        __m256i value = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(image + i));
        if (dark != nullptr) {
            const __m256i taken = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dark + i));
            value = sizeof(T) == 1 ? _mm256_subs_epu8(value, taken) : _mm256_subs_epu16(value, taken);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), value);
        if (trail != nullptr) {
            auto* held = reinterpret_cast<__m256i*>(trail + i);
            const __m256i before = _mm256_loadu_si256(held);
            _mm256_storeu_si256(
                held, sizeof(T) == 1 ? _mm256_max_epu8(value, before) : _mm256_max_epu16(value, before));
        }
    }
    plain(image, dark, out, trail, i, count);
}
#endif

template <typename T>
void pass(const T* image, const T* dark, T* out, T* trail, size_t count) {
    [[maybe_unused]] const VectorPath path = vectorPath();
#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
    if (path >= VectorPath::avx2) return avx2(image, dark, out, trail, count);
#endif
#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
    using Vector = std::conditional_t<sizeof(T) == 1, cv::v_uint8x16, cv::v_uint16x8>;
    if (path >= VectorPath::universal) return universal<Vector>(image, dark, out, trail, count);
#endif
    plain(image, dark, out, trail, 0, count);
}

}  // namespace

void subtractDarkAndMerge(const cv::Mat& image, const cv::Mat& dark, cv::Mat& out, cv::Mat* trail) {
    out.create(image.size(), image.type());
    const bool continuous = image.isContinuous() && out.isContinuous() &&
                            (dark.empty() || dark.isContinuous()) &&
                            (trail == nullptr || trail->isContinuous());
    if (!continuous || (image.depth() != CV_8U && image.depth() != CV_16U)) {
        if (dark.empty())
            image.copyTo(out);
        else
            cv::subtract(image, dark, out);
        if (trail != nullptr) cv::max(*trail, out, *trail);
        return;
    }
    const size_t count = image.total() * static_cast<size_t>(image.channels());
    if (image.depth() == CV_8U)
        pass(image.ptr<uint8_t>(), dark.empty() ? nullptr : dark.ptr<uint8_t>(), out.ptr<uint8_t>(),
             trail == nullptr ? nullptr : trail->ptr<uint8_t>(), count);
    else
        pass(image.ptr<uint16_t>(), dark.empty() ? nullptr : dark.ptr<uint16_t>(), out.ptr<uint16_t>(),
             trail == nullptr ? nullptr : trail->ptr<uint16_t>(), count);
}

void calibrateAndMerge(const cv::Mat& image, const cv::Mat& dark, cv::Mat& out, cv::Mat* trail,
                       const HotPixelMap* map) {
    if (map == nullptr) return subtractDarkAndMerge(image, dark, out, trail);
    out.create(image.size(), image.type());
    constexpr size_t kBandBytes = 64 << 10;  // of each image
    const int band = std::max(1, static_cast<int>(kBandBytes / (image.cols * image.elemSize())));
    std::vector<int> before;
    for (int from = 0, filled = 0; from < image.rows; from += band) {
        const cv::Range rows(from, std::min(image.rows, from + band));
        if (trail != nullptr) map->keepValues(*trail, rows.start, rows.end, before);
        cv::Mat calibrated = out.rowRange(rows),
                merged = trail != nullptr ? trail->rowRange(rows) : cv::Mat();
        subtractDarkAndMerge(image.rowRange(rows), dark.empty() ? dark : dark.rowRange(rows), calibrated,
                             trail != nullptr ? &merged : nullptr);
        // The hot pixels whose neighbours below are calibrated too.
        const int ready = rows.end == image.rows ? rows.end : rows.end - 1;
        map->fill(out, filled, ready);
        if (trail != nullptr) map->mergeFilled(*trail, before, out, filled, ready);
        filled = ready;
    }
}
