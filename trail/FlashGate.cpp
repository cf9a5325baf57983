#include "trail/FlashGate.h"

#include "core/VectorPath.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace {

// Bytes judged together: a whole number of pixels of 1 to 4 channels, three
// AVX-512 vectors or six AVX2 ones; their raised bytes as 192 bits.
constexpr size_t kCycle = 192;

struct Bits {
    uint64_t words[3];
};

// The bits at which pixels of `channels` bytes begin, within a cycle.
Bits pixelStarts(int channels) {
    Bits starts{{0, 0, 0}};
    for (size_t bit = 0; bit < kCycle; bit += static_cast<size_t>(channels))
        starts.words[bit / 64] |= uint64_t{1} << (bit % 64);
    return starts;
}

// What a pass found, and where it stops.
struct Count {
    int channels;
    Bits starts;
    int64_t limit;  // raised pixels let in at most: beyond, the image is a flash and the pass stops
    int64_t raised = 0;
};

// Adds the pixels of a cycle with any of their bytes raised.
inline void tally(Count& c, const Bits& raised) {
    if ((raised.words[0] | raised.words[1] | raised.words[2]) == 0) return;
    Bits any = raised;
    for (int s = 1; s < c.channels; ++s)
        for (int j = 0; j < 3; ++j)
            any.words[j] |= (raised.words[j] >> s) | (j < 2 ? raised.words[j + 1] << (64 - s) : 0);
    for (int j = 0; j < 3; ++j)
        c.raised += __builtin_popcountll(any.words[j] & c.starts.words[j]);
}

// Bytes [from, bytes) of a run, pixel by pixel; merged may be null.
void plainPixels(const uint8_t* trail, const uint8_t* image, uint8_t* merged, size_t from, size_t bytes,
                 int margin, Count& c) {
    for (size_t i = from; i < bytes; i += static_cast<size_t>(c.channels)) {
        bool any = false;
        for (int k = 0; k < c.channels; ++k) {
            any = any || image[i + k] > trail[i + k] + margin;
            if (merged != nullptr) merged[i + k] = std::max(trail[i + k], image[i + k]);
        }
        c.raised += any ? 1 : 0;
    }
}

// Whole cycles from the start of a run, by instruction set: raised pixels
// counted and, unless merged is null, the merge written there. Returns the
// bytes done.
#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
size_t cyclesUniversal(const uint8_t* trail, const uint8_t* image, uint8_t* merged, size_t bytes, int margin,
                       Count& c) {
    const cv::v_uint8x16 lift = cv::v_setall_u8(static_cast<uint8_t>(margin)), zero = cv::v_setzero_u8();
    size_t i = 0;
    for (; i + kCycle <= bytes && c.raised <= c.limit; i += kCycle) {
        Bits raised{{0, 0, 0}};
        for (int v = 0; v < 12; ++v) {
            const cv::v_uint8x16 t = cv::v_load(trail + i + 16 * v), m = cv::v_load(image + i + 16 * v);
            // image > trail + margin  <=>  image - (trail + margin) > 0, both saturated.
            const auto bits = static_cast<uint64_t>(cv::v_signmask((m - (t + lift)) != zero) & 0xffff);
            raised.words[v / 4] |= bits << (16 * (v % 4));
            if (merged != nullptr) cv::v_store(merged + i + 16 * v, cv::v_max(t, m));
        }
        tally(c, raised);
    }
    return i;
}
#endif

#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
__attribute__((target("avx512bw,avx512f"))) size_t cyclesAvx512(const uint8_t* trail, const uint8_t* image,
                                                                uint8_t* merged, size_t bytes, int margin,
                                                                Count& c) {
    const __m512i lift = _mm512_set1_epi8(static_cast<char>(margin));
    size_t i = 0;
    for (; i + kCycle <= bytes && c.raised <= c.limit; i += kCycle) {
        Bits raised;
        for (int v = 0; v < 3; ++v) {
            const __m512i t = _mm512_loadu_si512(trail + i + 64 * v);
            const __m512i m = _mm512_loadu_si512(image + i + 64 * v);
            raised.words[v] = _mm512_cmpgt_epu8_mask(m, _mm512_adds_epu8(t, lift));
            if (merged != nullptr) _mm512_storeu_si512(merged + i + 64 * v, _mm512_max_epu8(t, m));
        }
        tally(c, raised);
    }
    return i;
}

__attribute__((target("avx2"))) size_t cyclesAvx2(const uint8_t* trail, const uint8_t* image, uint8_t* merged,
                                                  size_t bytes, int margin, Count& c) {
    const __m256i lift = _mm256_set1_epi8(static_cast<char>(margin)), zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + kCycle <= bytes && c.raised <= c.limit; i += kCycle) {
        Bits raised{{0, 0, 0}};
        for (int v = 0; v < 6; ++v) {
            const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(trail + i + 32 * v));
            const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(image + i + 32 * v));
            // image > trail + margin  <=>  image - (trail + margin) > 0, both saturated.
            const __m256i above = _mm256_subs_epu8(m, _mm256_adds_epu8(t, lift));
            const auto bits = static_cast<uint32_t>(~_mm256_movemask_epi8(_mm256_cmpeq_epi8(above, zero)));
            raised.words[v / 2] |= static_cast<uint64_t>(bits) << (32 * (v % 2));
            if (merged != nullptr)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(merged + i + 32 * v), _mm256_max_epu8(t, m));
        }
        tally(c, raised);
    }
    return i;
}
#endif

// Pixels of 1 to 4 bytes go by vector; wider ones pixel by pixel.
VectorPath pathFor(int channels) { return channels <= 4 ? vectorPath() : VectorPath::plain; }

// One pass over the rows (as one run when all three images are continuous):
// whole cycles by vector, the ends pixel by pixel. merged may be empty.
void pass(const cv::Mat& trail, const cv::Mat& image, cv::Mat& merged, int margin, Count& c) {
    [[maybe_unused]] const VectorPath path = pathFor(c.channels);
    const bool merging = !merged.empty();
    const bool whole = trail.isContinuous() && image.isContinuous() && (!merging || merged.isContinuous());
    const int runs = whole ? 1 : trail.rows;
    const size_t bytes =
        whole ? trail.total() * trail.elemSize() : static_cast<size_t>(trail.cols) * trail.elemSize();
    for (int y = 0; y < runs && c.raised <= c.limit; ++y) {
        const uint8_t* t = trail.ptr<uint8_t>(y);
        const uint8_t* m = image.ptr<uint8_t>(y);
        uint8_t* out = merging ? merged.ptr<uint8_t>(y) : nullptr;
        size_t i = 0;
#if defined(__x86_64__) && !defined(TRAILCAM_NO_VECTORS)
        if (path == VectorPath::avx512) i = cyclesAvx512(t, m, out, bytes, margin, c);
        if (path == VectorPath::avx2) i = cyclesAvx2(t, m, out, bytes, margin, c);
#endif
#if CV_SIMD128 && !defined(TRAILCAM_NO_VECTORS)
        if (path == VectorPath::universal) i = cyclesUniversal(t, m, out, bytes, margin, c);
#endif
        if (c.raised <= c.limit) plainPixels(t, m, out, i, bytes, margin, c);
    }
}

Count countFor(const cv::Mat& trail, int64_t limit) {
    return {trail.channels(), pixelStarts(std::clamp(trail.channels(), 1, 4)), limit};
}

int64_t limitFor(const cv::Mat& trail, double maxShare) {
    return static_cast<int64_t>(maxShare * static_cast<double>(trail.total()) + 1e-9);
}

// 16-bit trails (--depth 16): the margin in 8-bit levels, x256, and plain
// OpenCV passes: such cameras take an image a second or slower.
double raisedShareOf16Bits(const cv::Mat& trail, const cv::Mat& image, int margin) {
    cv::Mat lifted, above;
    cv::add(trail, cv::Scalar::all(margin * 256.0), lifted);  // saturating
    cv::compare(image.reshape(1), lifted.reshape(1), above, cv::CMP_GT);
    std::vector<cv::Mat> channels;
    cv::split(above.reshape(trail.channels()), channels);
    cv::Mat any = channels[0];
    for (size_t i = 1; i < channels.size(); ++i)
        any |= channels[i];
    return trail.total() == 0
               ? 0
               : static_cast<double>(cv::countNonZero(any)) / static_cast<double>(trail.total());
}

}  // namespace

double raisedShare(const cv::Mat& trail, const cv::Mat& image, int margin) {
    CV_Assert(image.size() == trail.size() && image.type() == trail.type());
    if (trail.depth() == CV_16U) return raisedShareOf16Bits(trail, image, margin);
    CV_Assert(trail.depth() == CV_8U);
    Count c = countFor(trail, INT64_MAX);
    cv::Mat none;
    pass(trail, image, none, margin, c);
    return trail.total() == 0 ? 0 : static_cast<double>(c.raised) / static_cast<double>(trail.total());
}

FlashJudgement FlashGate::judge(const cv::Mat& trail, const cv::Mat& image, int margin, double maxShare) {
    const double share = raisedShare(trail, image, margin);
    return {std::llround(share * static_cast<double>(trail.total())) > limitFor(trail, maxShare), share};
}

FlashJudgement FlashGate::mergeUnlessFlash(cv::Mat& trail, const cv::Mat& image, int margin,
                                           double maxShare) {
    if (trail.depth() == CV_16U) {
        const FlashJudgement judged = judge(trail, image, margin, maxShare);
        if (!judged.flash) cv::max(trail, image, trail);
        return judged;
    }
    CV_Assert(trail.depth() == CV_8U && image.size() == trail.size() && image.type() == trail.type());
    if (merged_.size() != trail.size() || merged_.type() != trail.type() || merged_.data == trail.data)
        merged_.create(trail.size(), trail.type());
    Count c = countFor(trail, limitFor(trail, maxShare));
    pass(trail, image, merged_, margin, c);
    const auto pixels = static_cast<double>(std::max<size_t>(trail.total(), 1));
    if (c.raised > c.limit) return {true, raisedShare(trail, image, margin)};  // the pass stopped early
    std::swap(trail, merged_);
    return {false, static_cast<double>(c.raised) / pixels};
}
