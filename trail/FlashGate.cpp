#include "trail/FlashGate.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>

namespace {

// Bytes [from, bytes): merged = max(trail, image), and the number of bytes
// that image raises above trail + margin.
uint64_t mergeCountingPlain(const uint8_t* trail, const uint8_t* image, uint8_t* merged, size_t from,
                            size_t bytes, int margin) {
    uint64_t raised = 0;
    for (size_t i = from; i < bytes; ++i) {
        merged[i] = std::max(trail[i], image[i]);
        raised += image[i] > trail[i] + margin ? 1 : 0;
    }
    return raised;
}

#if defined(__x86_64__)
// 32 bytes at a time: the maximum stored, the raised bytes (image above the
// trail plus the margin, saturated) counted through psadbw.
__attribute__((target("avx2"))) uint64_t mergeCountingAvx2(const uint8_t* trail, const uint8_t* image,
                                                           uint8_t* merged, size_t bytes, int margin) {
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi8(1);
    const __m256i lift = _mm256_set1_epi8(static_cast<char>(margin));
    __m256i sums = zero;
    size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(trail + i));
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(image + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(merged + i), _mm256_max_epu8(t, m));
        // image > trail + margin  <=>  image - (trail + margin) > 0, all saturated;
        // a trail within the margin of 255 cannot be raised beyond it.
        const __m256i above = _mm256_subs_epu8(m, _mm256_adds_epu8(t, lift));
        const __m256i raised = _mm256_min_epu8(above, one);
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(raised, zero));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] +
           mergeCountingPlain(trail, image, merged, i, bytes, margin);
}
#endif

uint64_t mergeCounting(const uint8_t* trail, const uint8_t* image, uint8_t* merged, size_t bytes,
                       int margin) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return mergeCountingAvx2(trail, image, merged, bytes, margin);
#endif
    return mergeCountingPlain(trail, image, merged, 0, bytes, margin);
}

}  // namespace

double raisedShare(const cv::Mat& trail, const cv::Mat& image, int margin) {
    const int channels = trail.channels();
    const int64_t pixels = static_cast<int64_t>(trail.total());
    if (pixels == 0) return 0;
    int64_t raised = 0;
    for (int y = 0; y < trail.rows; ++y) {
        const uint8_t* t = trail.ptr<uint8_t>(y);
        const uint8_t* m = image.ptr<uint8_t>(y);
        for (int x = 0; x < trail.cols * channels; x += channels) {
            bool any = false;
            for (int c = 0; c < channels; ++c)
                any = any || m[x + c] > t[x + c] + margin;
            raised += any ? 1 : 0;
        }
    }
    return static_cast<double>(raised) / static_cast<double>(pixels);
}

FlashJudgement mergeUnlessFlash(const cv::Mat& trail, const cv::Mat& image, cv::Mat& merged, int margin,
                                double maxShare) {
    CV_Assert(trail.depth() == CV_8U && image.size() == trail.size() && image.type() == trail.type());
    merged.create(trail.size(), trail.type());
    const auto pixels = static_cast<double>(trail.total());
    uint64_t raisedBytes = 0;
    if (trail.isContinuous() && image.isContinuous() && merged.isContinuous()) {
        raisedBytes =
            mergeCounting(trail.data, image.data, merged.data, trail.total() * trail.elemSize(), margin);
    } else {
        for (int y = 0; y < trail.rows; ++y)
            raisedBytes += mergeCounting(trail.ptr<uint8_t>(y), image.ptr<uint8_t>(y), merged.ptr<uint8_t>(y),
                                         static_cast<size_t>(trail.cols) * trail.elemSize(), margin);
    }
    // A pixel raised has 1 to `channels` of its bytes raised: the byte count
    // bounds the pixels from both sides, and only between the bounds (or for
    // a flash, whose share is said) are the pixels counted one by one.
    const auto bytes = static_cast<double>(raisedBytes);
    if (bytes <= maxShare * pixels) return {false, bytes / std::max(pixels, 1.0)};
    const double share = raisedShare(trail, image, margin);
    return {share > maxShare, share};
}
