#include "Fakes.h"
#include "PanoramaUnwrapper.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

namespace {

struct Geometry {
    int inWidth, inHeight, outWidth;
    float u, v, radiusMin, radiusMax, angleDegrees;
};

const Geometry kStartup{640, 480, 800, 0.5f, 0.5f, 0.18f, 0.35f, 250};

bool configure(PanoramaUnwrapper& unwrapper, const Geometry& g) {
    return unwrapper.unwrapWidth(g.outWidth) && unwrapper.originalSize(g.inWidth, g.inHeight) &&
           unwrapper.originalCentre(g.u, g.v) && unwrapper.imageRadius(g.radiusMin, g.radiusMax) &&
           unwrapper.offsetAngle(g.angleDegrees) && unwrapper.generateTransformation();
}

// Each pixel spells out its own column and row, so that no two pixels are
// alike and a panorama shows which input pixel each of its pixels took.
cv::Mat coordinateImage(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(x & 0xff, y & 0xff, (x >> 8) | ((y >> 8) << 4));
    return image;
}

// The documented mapping, worked out for one panorama pixel on its own, with
// samples that fall off the input moved to its nearest edge.
cv::Point referenceSample(const Geometry& g, int row, int col) {
    const auto height = static_cast<uint32_t>(g.outWidth / 6.28318530718);
    const float step = static_cast<float>(height - 1 - row);
    const float radius = (step / static_cast<float>(height)) * (g.radiusMax - g.radiusMin) + g.radiusMin;
    const auto offset = static_cast<float>(g.angleDegrees * 0.0174532925);
    const float angle =
        static_cast<float>(static_cast<float>(col) / static_cast<float>(g.outWidth) * 6.28318530718) + offset;
    const float aspect = static_cast<float>(g.inWidth) / static_cast<float>(g.inHeight);
    float u = aspect * static_cast<float>(std::sin(double{angle})) * radius + g.u;
    float v = (1 - g.v) + static_cast<float>(std::cos(double{angle})) * radius;
    u = std::min(u, 1.0f);
    v = std::min(v, 1.0f);
    const double x = std::floor(static_cast<float>(g.inWidth) * (1 - v));
    const double y = std::floor(static_cast<float>(g.inHeight) * (1 - u));
    return {static_cast<int>(std::clamp(x, 0.0, g.inWidth - 1.0)),
            static_cast<int>(std::clamp(y, 0.0, g.inHeight - 1.0))};
}

// Unwraps a copy of input held in a buffer of exactly its size, so that the
// sanitizer build catches any read past it.
std::unique_ptr<cv::Mat> unwrapped(PanoramaUnwrapper& unwrapper, const cv::Mat& input) {
    std::vector<uint8_t> exact(input.datastart, input.dataend);
    cv::Mat copy(input.rows, input.cols, input.type(), exact.data());
    cv::Mat* out = nullptr;
    return std::unique_ptr<cv::Mat>(unwrapper.unwrap(&copy, &out) ? out : nullptr);
}

// The panorama of input as the reference mapping makes it.
cv::Mat referencePanorama(const Geometry& g, const cv::Mat& input) {
    cv::Mat panorama(static_cast<int>(g.outWidth / 6.28318530718), g.outWidth, CV_8UC3);
    for (int row = 0; row < panorama.rows; ++row)
        for (int col = 0; col < panorama.cols; ++col)
            panorama.at<cv::Vec3b>(row, col) = input.at<cv::Vec3b>(referenceSample(g, row, col));
    return panorama;
}

}  // namespace

// Setters accept their bounds and refuse beyond them, changing nothing then.
// No table, a ring that does not fit the input's height, a table the machine
// cannot hold (32 GB: refused, not thrown) or an input other than the one the
// table was built for: each is refused and gives no image.
TEST(PanoramaUnwrapper, RefusesWhatItCannotServeAndChangesNothingThen) {
    PanoramaUnwrapper u;
    EXPECT_TRUE(u.unwrapWidth(7) && u.getUnwrapHeight() == 1 && u.unwrapWidth(6) && u.getUnwrapHeight() == 0);
    EXPECT_TRUE(u.unwrapWidth(94000) && u.imageRadius(0, 0.5f) && u.offsetAngle(0) && u.offsetAngle(360));
    EXPECT_TRUE(u.originalCentre(0, 1) && u.originalCentre(1, 0));
    EXPECT_TRUE(u.originalSize(0, 0) && u.originalSize(65536, 21845));
    const cv::Mat input = coordinateImage(640, 480);
    EXPECT_FALSE(unwrapped(u, input)) << "no table yet";
    ASSERT_TRUE(configure(u, kStartup));
    EXPECT_FALSE(u.unwrapWidth(0) || u.unwrapWidth(-5) || u.unwrapWidth(96000));  // 96000: table past 4 GB
    EXPECT_FALSE(u.imageRadius(0.35f, 0.35f) || u.imageRadius(0.2f, 0.6f) || u.imageRadius(-0.1f, 0.3f) ||
                 u.imageRadius(NAN, 0.3f));
    EXPECT_FALSE(u.offsetAngle(360.5f) || u.offsetAngle(-1));
    EXPECT_FALSE(u.originalCentre(1.01f, 0.5f) || u.originalCentre(0.5f, -0.01f) ||
                 u.originalCentre(NAN, 0.5f));
    EXPECT_FALSE(u.originalSize(-1, 480) || u.originalSize(65536, 21846));
    ASSERT_TRUE(u.generateTransformation());
    EXPECT_TRUE(samePixels(*unwrapped(u, input), referencePanorama(kStartup, input)))
        << "refusals change nothing";

    for (const auto& [height, fits] : {std::pair{448, true}, {447, false}}) {
        Geometry g = kStartup;
        g.inHeight = height;
        EXPECT_EQ(configure(u, g), fits) << height;
        EXPECT_EQ(unwrapped(u, coordinateImage(640, height)) != nullptr, fits) << height;
    }
    ASSERT_TRUE(configure(u, kStartup) && u.unwrapWidth(92680));
    EXPECT_FALSE(u.generateTransformation());
    EXPECT_FALSE(unwrapped(u, input));

    ASSERT_TRUE(configure(u, kStartup));
    cv::Mat wider = coordinateImage(700, 480), strided = wider(cv::Rect(0, 0, 640, 480)), empty, sentinel;
    cv::Mat smaller = coordinateImage(640, 479), grey(480, 640, CV_8UC1, cv::Scalar(0));
    cv::Mat* out = &sentinel;
    for (cv::Mat* wrong : {&smaller, &grey, &strided, &empty})
        EXPECT_TRUE(!u.unwrap(wrong, &out) && out == &sentinel);
    // Setters change nothing until the next generation.
    ASSERT_TRUE(u.originalSize(1280, 960) && u.unwrapWidth(2000) && u.offsetAngle(10));
    EXPECT_FALSE(unwrapped(u, coordinateImage(1280, 960)));
    const auto panorama = unwrapped(u, input);
    ASSERT_TRUE(panorama);
    EXPECT_TRUE(samePixels(*panorama, referencePanorama(kStartup, input)));
}

// Includes rings that reach past each side of the input, so that samples
// are moved to every edge and the input's very last pixel is sampled (its
// four-byte word would run past the input), and a second generation.
TEST(PanoramaUnwrapper, MatchesThePerPixelReference) {
    const Geometry geometries[] = {kStartup,
                                   {640, 480, 360, 0.5f, 0.5f, 0.1f, 0.25f, 0},
                                   {320, 240, 1000, 0.4f, 0.6f, 0.05f, 0.3f, 90.5f},
                                   {100, 100, 64, 0.5f, 0.5f, 0.0f, 0.5f, 360},
                                   {100, 100, 700, 0.0f, 1.0f, 0.1f, 0.5f, 0},
                                   {100, 100, 700, 1.0f, 0.0f, 0.1f, 0.5f, 33},
                                   {33, 35, 90, 0.0f, 1.0f, 0.3f, 0.45f, 12}};
    PanoramaUnwrapper reused;
    for (const Geometry& g : geometries) {
        PanoramaUnwrapper fresh;
        for (PanoramaUnwrapper* unwrapper : {&reused, &fresh}) {
            ASSERT_TRUE(configure(*unwrapper, g));
            const cv::Mat input = coordinateImage(g.inWidth, g.inHeight);
            const auto panorama = unwrapped(*unwrapper, input);
            ASSERT_TRUE(panorama);
            EXPECT_TRUE(samePixels(*panorama, referencePanorama(g, input))) << g.outWidth;
        }
    }
}
