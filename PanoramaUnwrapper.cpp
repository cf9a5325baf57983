#include "PanoramaUnwrapper.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr uint64_t kMaxBytes = std::numeric_limits<uint32_t>::max();
constexpr int kChunks = 8;
constexpr uint64_t kPixelsPerChunk = 4096;

// The table and the input offsets are computed as unsigned 32-bit products;
// sizes whose byte count does not fit would silently wrap.
bool fitsIn32Bits(uint64_t a, uint64_t b) { return a * b * 3 <= kMaxBytes; }

// Truncates a sample position toward zero like a plain integer conversion,
// but keeps it on the image: positions before the first or past the last
// pixel (and NaN) land on the nearest edge pixel.
uint32_t clampedIndex(float position, uint32_t limit) {
    if (!(position > 0.0f)) return 0;
    if (position >= static_cast<float>(limit)) return limit - 1;
    return std::min(static_cast<uint32_t>(position), limit - 1);
}

// Copies pixels [begin, end) (byte positions) through the table. A pixel's
// three entries always name three adjacent input bytes, so one table read per
// pixel serves all three, moved as one 4-byte word; the spare fourth byte is
// overwritten by the next pixel. The caller keeps every word inside the input.
inline void copyWords(const uint64_t* __restrict table, const uint8_t* __restrict input,
                      uint8_t* __restrict output, uint64_t begin, uint64_t end) {
    uint64_t k = begin;
    for (; k + 12 <= end; k += 12) {
        uint32_t wa, wb, wc, wd;
        std::memcpy(&wa, input + table[k], 4);
        std::memcpy(&wb, input + table[k + 3], 4);
        std::memcpy(&wc, input + table[k + 6], 4);
        std::memcpy(&wd, input + table[k + 9], 4);
        std::memcpy(output + k, &wa, 4);
        std::memcpy(output + k + 3, &wb, 4);
        std::memcpy(output + k + 6, &wc, 4);
        std::memcpy(output + k + 9, &wd, 4);
    }
    for (; k < end; k += 3) {
        uint32_t word;
        std::memcpy(&word, input + table[k], 4);
        std::memcpy(output + k, &word, 4);
    }
}

// Copies the pixels of panorama bytes [begin, end). The pixels that sample
// the input's last pixel and the range's own last pixel (whose spare byte
// would land in the next range or past the panorama) go bytewise.
void copyThroughTable(const uint64_t* table, const uint8_t* input, uint8_t* output, uint64_t begin,
                      uint64_t end, const std::vector<uint64_t>& lastPixelUses) {
    if (begin >= end) return;
    const uint64_t last = end - 3;
    auto use = std::lower_bound(lastPixelUses.begin(), lastPixelUses.end(), begin);
    uint64_t k = begin;
    while (k < last) {
        const uint64_t stop = use != lastPixelUses.end() && *use < last ? *use : last;
        copyWords(table, input, output, k, stop);
        if (stop == last) break;
        std::memcpy(output + stop, input + table[stop], 3);
        k = stop + 3;
        ++use;
    }
    std::memcpy(output + last, input + table[last], 3);
}

}  // namespace

PanoramaUnwrapper::PanoramaUnwrapper()
    : m_transformation(nullptr),
      m_originalWidth(0),
      m_originalHeight(0),
      m_unwrapWidth(0),
      m_uCentre(0),
      m_vCentre(0),
      m_radiusMin(0),
      m_radiusMax(0),
      m_offsetAngle(0),
      m_unwrapHeight(0),
      m_outMatSize(0) {}

PanoramaUnwrapper::~PanoramaUnwrapper() { delete[] m_transformation; }

uint32_t PanoramaUnwrapper::getUnwrapHeight() { return m_unwrapHeight; }

bool PanoramaUnwrapper::unwrapWidth(int width) {
    if (width <= 0) return false;
    const auto height = static_cast<uint32_t>(width / 6.28318530718);
    if (!fitsIn32Bits(static_cast<uint32_t>(width), height)) return false;
    m_unwrapWidth = static_cast<uint32_t>(width);
    m_unwrapHeight = height;
    m_outMatSize = static_cast<uint32_t>(m_unwrapWidth * m_unwrapHeight * 3u);
    return true;
}

bool PanoramaUnwrapper::originalSize(int width, int height) {
    if (width < 0 || height < 0) return false;
    if (!fitsIn32Bits(static_cast<uint32_t>(width), static_cast<uint32_t>(height))) return false;
    m_originalWidth = static_cast<uint32_t>(width);
    m_originalHeight = static_cast<uint32_t>(height);
    return true;
}

// The range tests are written so that NaN fails them as well.
bool PanoramaUnwrapper::originalCentre(float u, float v) {
    if (!(u >= 0 && u <= 1 && v >= 0 && v <= 1)) return false;
    m_uCentre = u;
    m_vCentre = v;
    return true;
}

bool PanoramaUnwrapper::imageRadius(float min, float max) {
    if (!(min >= 0 && min <= 0.5f && max >= 0 && max <= 0.5f && min < max)) return false;
    m_radiusMin = min;
    m_radiusMax = max;
    return true;
}

bool PanoramaUnwrapper::offsetAngle(float angle) {
    if (!(angle >= 0 && angle <= 360)) return false;
    m_offsetAngle = static_cast<float>(angle * 0.0174532925);
    return true;
}

// The ring radius is measured in input widths; the outer ring must still fit
// into the input height.
bool PanoramaUnwrapper::ringFits(int width, int height, float radiusMax) {
    const float span = static_cast<float>(width) * radiusMax * 2;
    return static_cast<uint32_t>(height) >= static_cast<uint32_t>(span);
}

bool PanoramaUnwrapper::generateTransformation() {
    delete[] m_transformation;
    m_transformation = nullptr;
    m_lastPixelUses.clear();

    const float radius_delta = m_radiusMax - m_radiusMin;
    const float aspect = static_cast<float>(m_originalWidth) / static_cast<float>(m_originalHeight);

    if (!ringFits(static_cast<int>(m_originalWidth), static_cast<int>(m_originalHeight), m_radiusMax))
        return false;

    // A panorama with pixels needs an input with pixels to sample from.
    if (m_outMatSize > 0 && (m_originalWidth == 0 || m_originalHeight == 0)) return false;

    // A width the machine cannot hold a table for is refused, not thrown.
    auto* table = new (std::nothrow) uint64_t[m_outMatSize];
    if (table == nullptr) return false;
    const uint64_t lastPixel = (uint64_t{m_originalWidth} * m_originalHeight - 1) * 3;
    const uint64_t rowBytes = uint64_t{m_unwrapWidth} * 3;
    // Rows are independent, so they are built in parallel; this also starts
    // the worker threads before the first unwrap needs them.
    cv::parallel_for_(cv::Range(0, static_cast<int>(m_unwrapHeight)), [&](const cv::Range& rows) {
        for (int row = rows.start; row < rows.end; ++row) {
            const uint32_t step = m_unwrapHeight - 1 - static_cast<uint32_t>(row);
            const float amplitutde =
                (static_cast<float>(step) / static_cast<float>(m_unwrapHeight)) * radius_delta + m_radiusMin;
            uint64_t k = rowBytes * static_cast<uint64_t>(row);
            for (uint32_t j = 0; j < m_unwrapWidth; ++j) {
                const float turn = static_cast<float>(j) / static_cast<float>(m_unwrapWidth);
                const float longitudeAngle = static_cast<float>(turn * 6.28318530718) + m_offsetAngle;
                const auto sinLongAngle = static_cast<float>(std::sin(static_cast<double>(longitudeAngle)));
                const auto cosLongAngle = static_cast<float>(std::cos(static_cast<double>(longitudeAngle)));
                float u = aspect * sinLongAngle * amplitutde + m_uCentre;
                float v = (1 - m_vCentre) + cosLongAngle * amplitutde;
                if (u > 1) u = 1;
                if (v > 1) v = 1;
                const uint32_t xPixel =
                    clampedIndex(static_cast<float>(m_originalWidth) * (1 - v), m_originalWidth);
                const uint32_t yPixel =
                    clampedIndex(static_cast<float>(m_originalHeight) * (1 - u), m_originalHeight);
                const uint64_t oldPixelIndex = (uint64_t{m_originalWidth} * yPixel + xPixel) * 3;
                table[k++] = oldPixelIndex;
                table[k++] = oldPixelIndex + 1;
                table[k++] = oldPixelIndex + 2;
            }
        }
    });
    for (uint64_t k = 0; k < m_outMatSize; k += 3)
        if (table[k] == lastPixel) m_lastPixelUses.push_back(k);
    m_transformation = table;
    m_tableOriginalWidth = m_originalWidth;
    m_tableOriginalHeight = m_originalHeight;
    m_tableUnwrapWidth = m_unwrapWidth;
    m_tableUnwrapHeight = m_unwrapHeight;
    return true;
}

bool PanoramaUnwrapper::unwrap(cv::Mat* imageIn, cv::Mat** imageOut) {
    if (m_transformation == nullptr || imageIn == nullptr || imageOut == nullptr) return false;
    // The table holds byte offsets into an input of exactly the size and
    // layout it was built for; anything else would be read out of bounds.
    if (imageIn->type() != CV_8UC3 || !imageIn->isContinuous() || imageIn->dims != 2 ||
        static_cast<uint32_t>(imageIn->cols) != m_tableOriginalWidth ||
        static_cast<uint32_t>(imageIn->rows) != m_tableOriginalHeight)
        return false;

    // Every byte is written by the copy pass below, so no zero fill is needed.
    auto* panorama =
        new cv::Mat(static_cast<int>(m_tableUnwrapHeight), static_cast<int>(m_tableUnwrapWidth), CV_8UC3);
    const uint8_t* input = imageIn->data;
    uint8_t* output = panorama->data;
    const uint64_t bytes = uint64_t{m_tableUnwrapWidth} * m_tableUnwrapHeight * 3;
    // A few equal chunks of whole pixels: one per worker is enough, and
    // fewer, larger chunks cost less to hand out than one per row.
    const uint64_t pixels = bytes / 3;
    const int chunks = pixels < kPixelsPerChunk ? 1 : kChunks;
    const auto chunkStart = [&](int chunk) { return pixels * static_cast<uint64_t>(chunk) / chunks * 3; };
    const auto copyChunks = [&](const cv::Range& range) {
        for (int chunk = range.start; chunk < range.end; ++chunk)
            copyThroughTable(m_transformation, input, output, chunkStart(chunk), chunkStart(chunk + 1),
                             m_lastPixelUses);
    };
    if (chunks == 1)
        copyChunks(cv::Range(0, 1));
    else
        cv::parallel_for_(cv::Range(0, chunks), copyChunks, chunks);
    *imageOut = panorama;
    return true;
}
