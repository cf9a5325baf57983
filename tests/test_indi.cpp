#include "Fakes.h"
#include "indi/FitsImage.h"

#include <gtest/gtest.h>

#include <fitsio.h>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A FITS file in memory, as an INDI driver writes one: the planes given
// (first axis across), a Bayer pattern when given, tile-compressed when asked.
// Signed bytes: each 8-bit value stored less 128, as BZERO = -128 says.
std::vector<uchar> fitsOf(const std::vector<cv::Mat>& planes, const std::string& bayer = "",
                          bool compressed = false, bool signedBytes = false) {
    size_t size = 2880;
    void* memory = std::malloc(size);
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_memfile(&file, &memory, &size, 2880, std::realloc, &status);
    if (compressed) fits_set_compression_type(file, RICE_1, &status);
    const bool eight = planes[0].depth() == CV_8U;
    long axes[3] = {planes[0].cols, planes[0].rows, static_cast<long>(planes.size())};
    fits_create_img(file,
                    signedBytes ? SBYTE_IMG
                    : eight     ? BYTE_IMG
                                : USHORT_IMG,
                    planes.size() == 1 ? 2 : 3, axes, &status);
    if (!bayer.empty())
        fits_write_key(file, TSTRING, "BAYERPAT", const_cast<char*>(bayer.c_str()), nullptr, &status);
    for (size_t p = 0; p < planes.size(); ++p) {
        long first[3] = {1, 1, static_cast<long>(p) + 1};
        cv::Mat stored = planes[p];
        if (signedBytes) planes[p].convertTo(stored, CV_8S, 1, -128);
        fits_write_pix(file,
                       signedBytes ? TSBYTE
                       : eight     ? TBYTE
                                   : TUSHORT,
                       first, static_cast<long>(planes[p].total()), stored.data, &status);
    }
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0);
    std::vector<uchar> bytes(static_cast<uchar*>(memory), static_cast<uchar*>(memory) + size);
    std::free(memory);
    return bytes;
}

cv::Mat noise(int type, int seed) {
    cv::Mat image(6, 8, type);
    cv::RNG(static_cast<uint64_t>(seed)).fill(image, cv::RNG::UNIFORM, 0, type == CV_8U ? 256 : 65536);
    return image;
}

}  // namespace

// What INDI cameras send: 8- and 16-bit mono, a Bayer mosaic debayered as
// OpenCV does, three planes as BGR, a compressed file; what is no FITS or is
// cut short is refused with a reason.
TEST(Fits, DecodesWhatCamerasSend) {
    const cv::Mat eight = noise(CV_8U, 1), sixteen = noise(CV_16U, 2);
    const cv::Mat red = noise(CV_16U, 3), green = noise(CV_16U, 4), blue = noise(CV_16U, 5);
    cv::Mat debayered, bgr;
    cv::cvtColor(sixteen, debayered, cv::COLOR_BayerBG2BGR);
    cv::merge(std::vector<cv::Mat>{blue, green, red}, bgr);
    const struct {
        const char* name;
        std::vector<uchar> file;
        cv::Mat expected;
    } cases[] = {
        {"8-bit mono", fitsOf({eight}), eight},
        {"16-bit mono", fitsOf({sixteen}), sixteen},
        {"an RGGB mosaic", fitsOf({sixteen}, "RGGB"), debayered},
        {"three planes", fitsOf({red, green, blue}), bgr},
        {"compressed", fitsOf({sixteen}, "", true), sixteen},
        {"signed 8-bit", fitsOf({eight}, "", false, true), eight},
    };
    for (const auto& c : cases) {
        const Result<cv::Mat> decoded = decodeFits(c.file.data(), c.file.size());
        ASSERT_TRUE(decoded) << c.name << ": " << decoded.reason();
        EXPECT_TRUE(samePixels(*decoded, c.expected)) << c.name;
    }
    const std::string text(4000, 'x');
    EXPECT_EQ(decodeFits(text.data(), text.size()).reason(), "not a FITS file");
    for (const bool compressed : {false, true}) {
        std::vector<uchar> cut = fitsOf({noise(CV_16U, 6)}, "", compressed);
        cut.resize(cut.size() - 2880 + (compressed ? 0 : 20));  // the last block gone or all but begun
        EXPECT_EQ(decodeFits(cut.data(), cut.size()).reason(), "the file is cut short") << compressed;
    }
    // An image larger than the budget is refused before it is read.
    for (const bool compressed : {false, true}) {
        const std::vector<uchar> file = fitsOf({sixteen}, "", compressed);
        EXPECT_EQ(decodeFits(file.data(), file.size(), 47).reason(), "an image of 8x6, more than 47 pixels");
    }
    std::vector<uchar> unpadded = fitsOf({sixteen});
    unpadded.resize(2880 + sixteen.total() * 2);
    EXPECT_TRUE(decodeFits(unpadded.data(), unpadded.size())) << "a file without its last block's padding";
}
