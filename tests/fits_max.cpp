// The per-pixel maximum of the 16-bit mono FITS images in a folder whose
// names (their times in milliseconds) lie in [FROM, TO], read here with
// cfitsio on its own, against a 16-bit TIFF. Usage:
//   fits_max DIR FROM TO TRAIL.tiff     0 when they hold the same pixels
#include <fitsio.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) return std::fprintf(stderr, "usage: fits_max DIR FROM TO TRAIL.tiff\n"), 2;
    const long long from = std::stoll(argv[2]), to = std::stoll(argv[3]);
    cv::Mat maximum;
    int images = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        const long long time = std::stoll(entry.path().stem().string());
        if (time < from || time > to) continue;
        fitsfile* file = nullptr;
        int status = 0, axes = 0, bitpix = 0;
        long size[2] = {0, 0};
        fits_open_image(&file, entry.path().c_str(), READONLY, &status);
        fits_get_img_param(file, 2, &bitpix, &axes, size, &status);
        cv::Mat image(static_cast<int>(size[1]), static_cast<int>(size[0]), CV_16UC1);
        long first[2] = {1, 1};
        fits_read_pix(file, TUSHORT, first, size[0] * size[1], nullptr, image.data, nullptr, &status);
        fits_close_file(file, &status);
        if (status != 0) return std::fprintf(stderr, "cannot read %s\n", entry.path().c_str()), 1;
        maximum = maximum.empty() ? image : cv::max(maximum, image);
        ++images;
    }
    const cv::Mat trail = cv::imread(argv[4], cv::IMREAD_UNCHANGED);
    std::printf("%d images\n", images);
    if (maximum.empty() || trail.type() != CV_16UC1 || trail.size() != maximum.size()) return 1;
    return cv::norm(trail, maximum, cv::NORM_INF) == 0 ? 0 : 1;
}
