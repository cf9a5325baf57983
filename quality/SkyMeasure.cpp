#include "quality/SkyMeasure.h"

#include <opencv2/imgproc.hpp>

#include <cstddef>  // size_t, which sep.h uses without including it

extern "C" {  // sep.h declares C functions without saying so
#include <sep.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kMesh = 64;             // pixels of a background tile
constexpr float kThresholdSigma = 5;  // above the background's rms
constexpr int kMinPixels = 3, kMaxStarPixels = 200;
constexpr double kRoundish = 0.5;             // b/a of a star
constexpr size_t kMostPixelStack = 16 << 20;  // pixels SEP may hold while it extracts
constexpr double kSaturatedShare = 0.98;      // of the depth's range
constexpr int kPixelStackFull = 2;            // SEP's status: "internal pixel buffer full"
constexpr int kCleanedAtMost = 5000;          // objects

std::string sepError(int status) {
    char message[128] = {0};
    sep_get_errmsg(status, message);
    return message;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

struct Background {
    sep_bkg* map = nullptr;
    ~Background() { sep_bkg_free(map); }
};
struct Catalog {
    sep_catalog* objects = nullptr;
    ~Catalog() { sep_catalog_free(objects); }
};

// SEP's pixel stack is one setting for the whole process: raised within its
// bound under this lock, when an image needs more.
std::mutex pixelStack;

}  // namespace

Result<SkyMeasurement> measureSky(const cv::Mat& image) {
    SkyMeasurement measured;
    if (image.empty() || image.rows < 3 || image.cols < 3) return measured;
    cv::Mat luminance = image;
    if (image.channels() == 3) cv::cvtColor(image, luminance, cv::COLOR_BGR2GRAY);
    if (image.channels() == 4) cv::cvtColor(image, luminance, cv::COLOR_BGRA2GRAY);
    cv::Mat data;
    luminance.convertTo(data, CV_32F);
    const double saturated = kSaturatedShare * (image.depth() == CV_16U ? 65535 : 255);

    sep_image sky{data.ptr<float>(), nullptr,   nullptr, nullptr,        SEP_TFLOAT, 0, 0, 0,
                  data.cols,         data.rows, 0,       SEP_NOISE_NONE, 1.0,        0};
    Background background;
    if (const int status = sep_background(&sky, std::min(kMesh, data.cols), std::min(kMesh, data.rows), 3, 3,
                                          0.0, &background.map);
        status != 0)
        return Failure{"the background: " + sepError(status)};
    std::vector<double> nodes(background.map->back, background.map->back + background.map->n);
    measured.background = median(nodes);
    measured.noise = sep_bkg_globalrms(background.map);
    if (!(measured.noise > 0)) return measured;  // a flat image: nothing stands out
    sep_bkg_subarray(background.map, data.ptr<float>(), SEP_TFLOAT);
    // The background map at each pixel, for what was saturated before it was taken off.
    cv::Mat level(data.size(), CV_32F);
    sep_bkg_array(background.map, level.ptr<float>(), SEP_TFLOAT);

    sky.noiseval = measured.noise;
    sky.noise_type = SEP_NOISE_STDDEV;
    static const float kFilter[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    Catalog catalog;
    int status = 0;
    {
        const std::lock_guard<std::mutex> lock(pixelStack);
        const auto extract = [&](int clean) {
            sep_catalog_free(catalog.objects);
            catalog.objects = nullptr;
            for (;;) {
                status = sep_extract(&sky, kThresholdSigma, SEP_THRESH_REL, kMinPixels, kFilter, 3, 3,
                                     SEP_FILTER_CONV, 32, 0.005, clean, 1.0, &catalog.objects);
                const size_t stack = sep_get_extract_pixstack();
                if (status != kPixelStackFull || stack >= kMostPixelStack) break;
                sep_set_extract_pixstack(std::min(stack * 2, kMostPixelStack));
            }
        };
        // Cleaning (spurious objects in a bright one's wings merged back)
        // costs the square of the objects: a sky of tens of thousands (a
        // dense 4K field) would take the measurer minutes and hold a stop.
        // Objects are counted without it first, and cleaned when they are few.
        extract(0);
        if (status == 0 && catalog.objects->nobj <= kCleanedAtMost) extract(1);
    }
    if (status != 0) return Failure{"the objects: " + sepError(status)};

    std::vector<double> widths;
    const sep_catalog& c = *catalog.objects;
    for (int i = 0; i < c.nobj; ++i) {
        if ((c.flag[i] & SEP_OBJ_TRUNC) != 0 || c.npix[i] < kMinPixels || !(c.a[i] > 0)) continue;
        if (c.b[i] / c.a[i] < kRoundish) {
            ++measured.streaks;
            continue;
        }
        const bool saturatedPeak = c.peak[i] + level.at<float>(std::clamp(c.ypeak[i], 0, data.rows - 1),
                                                               std::clamp(c.xpeak[i], 0, data.cols - 1)) >=
                                   saturated;
        if (saturatedPeak || c.npix[i] > kMaxStarPixels) continue;
        ++measured.stars;
        widths.push_back(2.355 * std::sqrt(static_cast<double>(c.a[i]) * c.b[i]));
    }
    if (widths.size() >= 5) measured.fwhm = median(widths);
    return measured;
}
