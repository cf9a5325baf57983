#include "Fakes.h"
#include "quality/SkyQuality.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <thread>

namespace {

constexpr int64_t kNight = 1796680800000;  // 2026-12-07T22:00:00Z

// A sky of 320 x 240: noise of 3 levels over 20, 200 stars well above it
// (peak 120, a Gaussian of sigma 1) and 100 faint ones (peak 4) on a
// jittered grid; cloudy, the left half is 15 levels brighter and hides its
// stars. With a streak: a meteor 40 pixels long across the right half.
cv::Mat sky(int seed, bool cloudy, bool streak = false) {
    cv::Mat image(240, 320, CV_32F, cv::Scalar(20));
    cv::RNG random(static_cast<uint64_t>(seed));
    const auto star = [&image](double x, double y, double peak) {
        for (int dy = -4; dy <= 4; ++dy)
            for (int dx = -4; dx <= 4; ++dx) {
                const int px = static_cast<int>(x) + dx, py = static_cast<int>(y) + dy;
                const double r2 = (px - x) * (px - x) + (py - y) * (py - y);
                image.at<float>(py, px) += static_cast<float>(peak * std::exp(-r2 / 2));
            }
    };
    for (int k = 0; k < 300; ++k) {
        const double x = 8 + (k % 20) * 15.2 + random.uniform(0.0, 4.0),
                     y = 8 + (k / 20) * 15.0 + random.uniform(0.0, 4.0);
        if (cloudy && x < 160) continue;
        star(x, y, k % 3 == 2 ? 4 : 120);
    }
    if (streak)
        for (int i = 0; i < 40; ++i)
            star(200 + i, 100 + i * 0.25, 90);
    if (cloudy) image(cv::Rect(0, 0, 160, 240)) += 15;
    cv::Mat noise(image.size(), CV_32F);
    random.fill(noise, cv::RNG::NORMAL, 0, 3);
    cv::Mat eight;
    cv::Mat(image + noise).convertTo(eight, CV_8U);
    return eight;
}

}  // namespace

// Stars and clear sky on a sky with known truth: clear images count the 200
// stars within 10 %, cloudy ones about half; clear is near 1, cloudy between
// 0.4 and 0.7 against the night's own reference, never another night's. A
// streak is no star. Each measurement runs off the loop's thread.
TEST(SkyQuality, StarsAndClearSkyOfAKnownNight) {
    QualitySettings settings;
    settings.sqmZero = 20, settings.plateScale = 60;
    std::thread::id measuredOn;
    std::optional<double> exposure;  // none: the sky's brightness cannot be told
    CapturedStream err;
    SkyQuality quality(
        settings,
        [&] {
            measuredOn = std::this_thread::get_id();
            return std::pair{exposure, std::optional<double>()};
        },
        err.file);
    const auto measure = [&](int64_t millis, const cv::Mat& image) {
        const size_t before = quality.readings().size();
        quality.framed(Frame{image, millis});
        EXPECT_TRUE(eventually([&] { return quality.readings().size() > before; }));
        return quality.readings().back();
    };
    for (int i = 0; i < 9; ++i) {
        const bool cloudy = i % 3 == 2;
        if (i == 8) exposure = 2;
        const SkyQualityReading r = measure(kNight + i * 60000, sky(i, cloudy, i == 4));
        if (cloudy) {
            EXPECT_TRUE(r.sky.stars >= 80 && r.sky.stars <= 120) << i << ": " << r.sky.stars;
            EXPECT_TRUE(r.clear && *r.clear >= 0.4 && *r.clear <= 0.7) << i << ": " << r.clear.value_or(-1);
        } else {
            EXPECT_NEAR(r.sky.stars, 200, 20) << i;
            EXPECT_GE(r.clear.value_or(-1), 0.85) << i;
        }
        EXPECT_EQ(r.sky.streaks, i == 4 ? 1 : 0) << i;
        EXPECT_TRUE(cloudy ? r.sky.background > 20 && r.sky.background < 35
                           : std::abs(r.sky.background - 20) < 2)
            << i << ": " << r.sky.background;  // the median of a map half under the cloud
        EXPECT_NEAR(*r.sky.fwhm, 2.35, 0.5) << i;
        EXPECT_EQ(r.skyBrightness.has_value(), i == 8) << i;
        if (r.skyBrightness) {
            EXPECT_NEAR(*r.skyBrightness, -2.5 * std::log10(r.sky.background / (2.0 * 3600)) + 20, 1e-9);
        }
    }
    EXPECT_NE(measuredOn, std::this_thread::get_id()) << "measured on the loop's thread";
    EXPECT_EQ(err.lines().size(), 1u) << "no exposure time: said once";
    // The next night's first measurement, cloudy: its own reference.
    EXPECT_EQ(measure(kNight + 86400000, sky(20, true)).clear, 1.0);
    // Not due yet: nothing measured; a snapshot's sidecar takes the medians of its trail's.
    quality.framed(Frame{sky(21, false), kNight + 86400000 + 30000});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(quality.readings().size(), 10u);
    SnapshotDue due{1, cv::Mat(), SnapshotReason::countdown, 0, {kNight, kNight + 3 * 60000, 4}, cv::Mat()};
    EXPECT_EQ(quality.sidecarMembers(due).rfind("\"quality\":{\"stars\":", 0), 0u);
    EXPECT_NE(quality.sidecarMembers(due).find(",\"measurements\":4}"), std::string::npos);
    EXPECT_EQ(quality.statusJson().rfind("\"quality\":{\"time\":\"2026-12-08T22:00:00.000Z\",", 0), 0u);
    // A clear sky the owner knows (--clear-stars); a replay, measured as it is told.
    settings.clearStars = 400;
    SkyQuality known(settings, nullptr, err.file, true);
    known.framed(Frame{sky(1, false), kNight});
    ASSERT_EQ(known.readings().size(), 1u);
    EXPECT_NEAR(known.readings()[0].clear.value_or(-1), 0.5, 0.05);

    // A night overcast from dusk (or a lens cap): no reference, no clear,
    // until stars show; then measured against them.
    settings.clearStars.reset();
    SkyQuality capped(settings, nullptr, err.file, true);
    const cv::Mat cap(240, 320, CV_8UC1, cv::Scalar(3));
    for (int i = 0; i < 3; ++i)
        capped.framed(Frame{cap, kNight + i * 60000});
    for (int i = 3; i < 5; ++i)
        capped.framed(Frame{sky(i, false), kNight + i * 60000});
    const std::vector<SkyQualityReading> readings = capped.readings();
    ASSERT_EQ(readings.size(), 5u);
    EXPECT_FALSE(readings[0].clear || readings[2].clear) << "a lens cap read as clear";
    EXPECT_EQ(readings[4].clear, 1.0) << "stars in a tenth of the night's measurements make its reference";
    EXPECT_NE(capped.nightJson().find(",0,null,"), std::string::npos) << capped.nightJson();
    SnapshotDue capDue{1,        cv::Mat(), SnapshotReason::countdown, 0, {kNight, kNight + 2 * 60000, 3},
                       cv::Mat()};
    EXPECT_EQ(capped.sidecarMembers(capDue), "\"quality\":{\"stars\":0.0,\"clear\":null,\"measurements\":3}");
    EXPECT_FALSE(capped.between(kNight, kNight + 3 * 60000)->clear);
}

// Images SEP finds nothing in, or that it cannot take: no crash, no star.
TEST(SkyQuality, FlatSaturatedThinAndNoisyImages) {
    cv::Mat noise(240, 320, CV_16UC1);
    cv::RNG(1).fill(noise, cv::RNG::NORMAL, 1000, 30);
    for (const cv::Mat& image :
         {cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(40)), cv::Mat(240, 320, CV_8UC1, cv::Scalar(255)),
          cv::Mat(1, 320, CV_8UC1, cv::Scalar(9)), noise}) {
        const Result<SkyMeasurement> measured = measureSky(image);
        ASSERT_TRUE(measured) << measured.reason();
        EXPECT_EQ(measured->stars, 0) << image.size() << " " << image.type();
        EXPECT_FALSE(measured->fwhm);
    }
}
