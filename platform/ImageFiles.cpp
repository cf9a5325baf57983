#include "platform/ImageFiles.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

constexpr size_t kHeaderBytes = 1 << 20;  // a JPEG's size comes after its thumbnails and tables

uint32_t bigEndian(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | b[at + static_cast<size_t>(i)];
    return value;
}

std::optional<cv::Size> sized(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
    return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

std::optional<cv::Size> pngSize(const std::vector<uint8_t>& b) {
    static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (b.size() < 24 || !std::equal(std::begin(kSignature), std::end(kSignature), b.begin()) ||
        std::string(b.begin() + 12, b.begin() + 16) != "IHDR")
        return std::nullopt;
    return sized(bigEndian(b, 16, 4), bigEndian(b, 20, 4));
}

std::optional<cv::Size> jpegSize(const std::vector<uint8_t>& b) {
    if (b.size() < 4 || b[0] != 0xff || b[1] != 0xd8) return std::nullopt;
    size_t at = 2;
    while (at + 4 <= b.size()) {
        if (b[at] != 0xff) return std::nullopt;
        const uint8_t marker = b[at + 1];
        if (marker == 0xff) {  // fill
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {  // no length
            at += 2;
            continue;
        }
        const size_t length = bigEndian(b, at + 2, 2);
        // A start of frame (not a table: C4, C8, CC) holds the size.
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
            if (at + 9 > b.size()) return std::nullopt;
            return sized(bigEndian(b, at + 7, 2), bigEndian(b, at + 5, 2));
        }
        if (marker == 0xd9 || marker == 0xda || length < 2) return std::nullopt;  // the end or the data first
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<cv::Size> tiffSize(const std::vector<uint8_t>& b) {
    if (b.size() < 8) return std::nullopt;
    const bool little = b[0] == 'I' && b[1] == 'I';
    if (!little && !(b[0] == 'M' && b[1] == 'M')) return std::nullopt;
    const auto read = [&](size_t at, int bytes) -> uint32_t {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const uint32_t byte = b[at + static_cast<size_t>(i)];
            value |= little ? byte << (8 * i) : byte << (8 * (bytes - 1 - i));
        }
        return value;
    };
    if (read(2, 2) != 42) return std::nullopt;  // BigTIFF (43) is no darks' format
    const size_t ifd = read(4, 4);
    if (ifd + 2 > b.size()) return std::nullopt;
    const size_t entries = read(ifd, 2);
    uint32_t width = 0, height = 0;
    for (size_t i = 0; i < entries && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        const uint32_t tag = read(entry, 2), type = read(entry + 2, 2);
        if (tag != 256 && tag != 257) continue;
        const uint32_t value = type == 3 ? read(entry + 8, 2) : type == 4 ? read(entry + 8, 4) : 0;
        (tag == 256 ? width : height) = value;
    }
    return sized(width, height);
}

}  // namespace

std::optional<cv::Size> declaredImageSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::vector<uint8_t> head(kHeaderBytes);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(file.gcount()));
    if (const auto png = pngSize(head)) return png;
    if (const auto jpeg = jpegSize(head)) return jpeg;
    return tiffSize(head);
}

Result<cv::Mat> readImageNoLarger(const std::string& path, cv::Size largest, int flags) {
    std::error_code error;
    // A regular file only: reading a FIFO would wait for ever.
    if (!std::filesystem::is_regular_file(path, error)) return Failure{"cannot be read"};
    const std::optional<cv::Size> declared = declaredImageSize(path);
    if (!declared) return Failure{"cannot be read (a PNG, TIFF or JPEG file)"};
    if (declared->width > largest.width || declared->height > largest.height)
        return Failure{"is " + std::to_string(declared->width) + "x" + std::to_string(declared->height)};
    cv::Mat image = cv::imread(path, flags);
    if (image.empty() || image.cols > largest.width || image.rows > largest.height)
        return Failure{"cannot be read"};
    return image;
}
