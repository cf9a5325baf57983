#include "indi/FitsImage.h"

#include <fitsio.h>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string describe(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return text;
}

// The OpenCV conversion of a Bayer pattern as FITS names it (the first row's
// first two pixels, then the second row's): OpenCV names it by the second
// row's second and third.
int bayerConversion(const std::string& pattern) {
    if (pattern == "RGGB") return cv::COLOR_BayerBG2BGR;
    if (pattern == "BGGR") return cv::COLOR_BayerRG2BGR;
    if (pattern == "GRBG") return cv::COLOR_BayerGB2BGR;
    if (pattern == "GBRG") return cv::COLOR_BayerGR2BGR;
    return -1;
}

// Moves to the first HDU that holds an image of two or three axes (a
// compressed image is a table to FITS, an image to cfitsio).
bool findImage(fitsfile* file, int& status) {
    int hdus = 0;
    fits_get_num_hdus(file, &hdus, &status);
    for (int hdu = 1; hdu <= hdus && status == 0; ++hdu) {
        int type = 0, axes = 0;
        fits_movabs_hdu(file, hdu, &type, &status);
        fits_get_img_dim(file, &axes, &status);
        if (status == 0 && (type == IMAGE_HDU || fits_is_compressed_image(file, &status)) && axes >= 2 &&
            axes <= 3)
            return true;
    }
    return false;
}

struct Closing {
    fitsfile* file = nullptr;
    ~Closing() {
        int ignored = 0;
        if (file != nullptr) fits_close_file(file, &ignored);
    }
};

// The image's planes, each 8- or 16-bit; signed, deeper or floating-point
// data brought to 16 bits over the image's own range.
Result<std::vector<cv::Mat>> readPlanes(fitsfile* file, int bitpix, long width, long height, long planes) {
    const bool eight = bitpix == BYTE_IMG || bitpix == SBYTE_IMG;
    std::vector<cv::Mat> read;
    int status = 0;
    for (long plane = 0; plane < planes; ++plane) {
        cv::Mat image(static_cast<int>(height), static_cast<int>(width), eight ? CV_8U : CV_16U);
        std::array<long, 3> first{1, 1, plane + 1};
        if (bitpix == SBYTE_IMG) {
            // Signed bytes (BZERO = -128): -128..127 shifted onto 0..255.
            cv::Mat signedBytes(image.size(), CV_8S);
            fits_read_pix(file, TSBYTE, first.data(), width * height, nullptr, signedBytes.data, nullptr,
                          &status);
            signedBytes.convertTo(image, CV_8U, 1, 128);
        } else if (eight || bitpix == USHORT_IMG) {
            fits_read_pix(file, eight ? TBYTE : TUSHORT, first.data(), width * height, nullptr, image.data,
                          nullptr, &status);
        } else {
            cv::Mat wide(image.size(), CV_64F);
            fits_read_pix(file, TDOUBLE, first.data(), width * height, nullptr, wide.data, nullptr, &status);
            double low = 0, high = 0;
            cv::minMaxLoc(wide, &low, &high);
            wide.convertTo(image, CV_16U, high > low ? 65535.0 / (high - low) : 0,
                           high > low ? -low * 65535.0 / (high - low) : 0);
        }
        if (status != 0) return Failure{describe(status)};
        read.push_back(image);
    }
    return read;
}

// Three planes as BGR; one plane as it is, or debayered when it is a mosaic.
cv::Mat toPicture(fitsfile* file, const std::vector<cv::Mat>& planes) {
    cv::Mat bgr;
    if (planes.size() == 3) {
        cv::merge(std::vector<cv::Mat>{planes[2], planes[1], planes[0]}, bgr);
        return bgr;
    }
    char pattern[FLEN_VALUE] = {};
    int missing = 0;
    fits_read_key(file, TSTRING, "BAYERPAT", pattern, nullptr, &missing);
    std::string named = missing == 0 ? pattern : "";
    named.erase(named.find_last_not_of(' ') + 1);
    const int conversion = bayerConversion(named);
    if (conversion < 0) return planes[0];
    cv::cvtColor(planes[0], bgr, conversion);
    return bgr;
}

}  // namespace

Result<cv::Mat> decodeFits(const void* bytes, size_t size, int64_t maxPixels) {
    // cfitsio reads from the buffer as it is; it never writes to it in read-only mode.
    void* buffer = const_cast<void*>(bytes);
    size_t length = size;
    int status = 0;
    Closing open;
    if (size < 2880 || std::memcmp(bytes, "SIMPLE  =", 9) != 0) return Failure{"not a FITS file"};
    fits_open_memfile(&open.file, "image.fits", READONLY, &buffer, &length, 0, nullptr, &status);
    if (status != 0) return Failure{describe(status)};
    if (!findImage(open.file, status)) return Failure{status != 0 ? describe(status) : "no image in it"};
    int bitpix = 0, axes = 0;
    std::array<long, 3> lengths{1, 1, 1};
    fits_get_img_param(open.file, 3, &bitpix, &axes, lengths.data(), &status);
    fits_get_img_equivtype(open.file, &bitpix, &status);
    const long width = lengths[0], height = lengths[1], planes = axes == 3 ? lengths[2] : 1;
    // cfitsio reads past the end of a buffer as zeros: a file cut short is
    // refused here (the padding of its last block may be missing).
    LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
    int stored = 0, compressed = fits_is_compressed_image(open.file, &status);
    fits_get_img_type(open.file, &stored, &status);
    fits_get_hduaddrll(open.file, &headerStart, &dataStart, &dataEnd, &status);
    const LONGLONG needed =
        compressed != 0 ? dataEnd - 2879
                        : dataStart + static_cast<LONGLONG>(width) * height * planes * (std::abs(stored) / 8);
    if (status == 0 && static_cast<LONGLONG>(size) < needed) return Failure{"the file is cut short"};
    if (status != 0) return Failure{describe(status)};
    if (width <= 0 || height <= 0 || width > 65536 || height > 65536 || (planes != 1 && planes != 3))
        return Failure{"an image of " + std::to_string(planes) + " planes of " + std::to_string(width) + "x" +
                       std::to_string(height)};
    // Checked before anything is decompressed or allocated: a small file
    // may claim a huge image.
    if (static_cast<int64_t>(width) * height * planes > maxPixels)
        return Failure{"an image of " + std::to_string(width) + "x" + std::to_string(height) +
                       (planes == 3 ? "x3" : "") + ", more than " + std::to_string(maxPixels) + " pixels"};
    Result<std::vector<cv::Mat>> read = readPlanes(open.file, bitpix, width, height, planes);
    if (!read) return Failure{read.reason()};
    return toPicture(open.file, *read);
}
