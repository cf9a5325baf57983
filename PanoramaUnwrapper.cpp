#include "PanoramaUnwrapper.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kMaxBytes = std::numeric_limits<uint32_t>::max();

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

// Copies panorama bytes [begin, end) through the table. A pixel's three
// entries always name three adjacent input bytes, so one table read per pixel
// serves all three. Moving them as one 4-byte word is faster; the spare fourth
// byte is overwritten by the next pixel, and the last pixel of the range or of
// the input is copied bytewise.
void copyThroughTable(const uint64_t* table, const uint8_t* input, uint64_t inputBytes, uint8_t* output,
                      uint64_t begin, uint64_t end) {
    uint64_t k = begin;
    // Four pixels at a time while all four words lie inside the input.
    for (; k + 12 < end; k += 12) {
        const uint64_t a = table[k], b = table[k + 3], c = table[k + 6], d = table[k + 9];
        if (std::max(std::max(a, b), std::max(c, d)) + 4 > inputBytes) break;
        uint32_t wa, wb, wc, wd;
        std::memcpy(&wa, input + a, 4);
        std::memcpy(&wb, input + b, 4);
        std::memcpy(&wc, input + c, 4);
        std::memcpy(&wd, input + d, 4);
        std::memcpy(output + k, &wa, 4);
        std::memcpy(output + k + 3, &wb, 4);
        std::memcpy(output + k + 6, &wc, 4);
        std::memcpy(output + k + 9, &wd, 4);
    }
    for (; k + 3 < end; k += 3) {
        const uint64_t offset = table[k];
        if (offset + 4 <= inputBytes) {
            uint32_t word;
            std::memcpy(&word, input + offset, 4);
            std::memcpy(output + k, &word, 4);
        } else {
            std::memcpy(output + k, input + offset, 3);
        }
    }
    if (k < end) std::memcpy(output + k, input + table[k], 3);
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

bool PanoramaUnwrapper::generateTransformation() {
    delete[] m_transformation;
    m_transformation = nullptr;

    const float radius_delta = m_radiusMax - m_radiusMin;
    const float aspect = static_cast<float>(m_originalWidth) / static_cast<float>(m_originalHeight);

    // The ring radius is measured in input widths; the outer ring must still
    // fit into the input height.
    const float span = static_cast<float>(m_originalWidth) * m_radiusMax * 2;
    const auto pixelSpan = static_cast<uint32_t>(span);
    if (m_originalHeight < pixelSpan) return false;

    // A panorama with pixels needs an input with pixels to sample from.
    if (m_outMatSize > 0 && (m_originalWidth == 0 || m_originalHeight == 0)) return false;

    auto* table = new uint64_t[m_outMatSize];
    uint64_t k = 0;
    for (uint32_t step = m_unwrapHeight; step-- > 0;) {
        const float amplitutde =
            (static_cast<float>(step) / static_cast<float>(m_unwrapHeight)) * radius_delta + m_radiusMin;
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
    m_transformation = table;
    return true;
}

bool PanoramaUnwrapper::unwrap(cv::Mat* imageIn, cv::Mat** imageOut) {
    if (m_transformation == nullptr || imageIn == nullptr || imageOut == nullptr) return false;
    // The table holds byte offsets into an input of exactly the configured
    // size and layout; anything else would be read out of bounds.
    if (imageIn->type() != CV_8UC3 || !imageIn->isContinuous() || imageIn->dims != 2 ||
        static_cast<uint32_t>(imageIn->cols) != m_originalWidth ||
        static_cast<uint32_t>(imageIn->rows) != m_originalHeight)
        return false;

    // Every byte is written by the copy pass below, so no zero fill is needed.
    auto* panorama = new cv::Mat(static_cast<int>(m_unwrapHeight), static_cast<int>(m_unwrapWidth), CV_8UC3);
    const uint8_t* originalPixels = imageIn->data;
    uint8_t* unwrapPixels = panorama->data;
    const uint64_t* table = m_transformation;
    const uint64_t inputBytes = uint64_t{m_originalWidth} * m_originalHeight * 3;
    const uint64_t rowBytes = uint64_t{m_unwrapWidth} * 3;
    cv::parallel_for_(cv::Range(0, static_cast<int>(m_unwrapHeight)), [&](const cv::Range& rows) {
        copyThroughTable(table, originalPixels, inputBytes, unwrapPixels, rows.start * rowBytes,
                         rows.end * rowBytes);
    });
    *imageOut = panorama;
    return true;
}
