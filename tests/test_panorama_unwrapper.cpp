#include "PanoramaUnwrapper.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <functional>
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

// Each pixel spells out its own column and row, so a panorama pixel tells
// which input pixel it was copied from.
cv::Mat coordinateImage(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(x & 0xff, y & 0xff, (x >> 8) | ((y >> 8) << 4));
    return image;
}

cv::Point decode(const cv::Vec3b& pixel) {
    return {pixel[0] | ((pixel[2] & 15) << 8), pixel[1] | ((pixel[2] >> 4) << 8)};
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
    if (!unwrapper.unwrap(&copy, &out)) return nullptr;
    return std::unique_ptr<cv::Mat>(out);
}

// Compares a panorama of a coordinate image with the reference mapping;
// returns the number of differing pixels.
int mismatches(const cv::Mat& panorama, const Geometry& g) {
    int wrong = 0;
    for (int row = 0; row < panorama.rows; ++row)
        for (int col = 0; col < panorama.cols; ++col)
            if (decode(panorama.at<cv::Vec3b>(row, col)) != referenceSample(g, row, col)) ++wrong;
    return wrong;
}

using Setter = std::function<bool(PanoramaUnwrapper&)>;

}  // namespace

TEST(PanoramaUnwrapper, SettersAcceptAndRejectAtTheirBoundsAndRejectionsChangeNothing) {
    const std::vector<std::pair<Setter, bool>> cases{
        {[](auto& u) { return u.unwrapWidth(7) && u.getUnwrapHeight() == 1; }, true},
        {[](auto& u) { return u.unwrapWidth(6) && u.getUnwrapHeight() == 0; }, true},
        {[](auto& u) { return u.unwrapWidth(94000); }, true},
        {[](auto& u) { return u.unwrapWidth(0) || u.unwrapWidth(-5); }, false},
        {[](auto& u) { return u.unwrapWidth(96000); }, false},  // table past 2^32 bytes
        {[](auto& u) { return u.imageRadius(0, 0.5f); }, true},
        {[](auto& u) { return u.imageRadius(0.35f, 0.35f) || u.imageRadius(0.2f, 0.6f); }, false},
        {[](auto& u) { return u.imageRadius(-0.1f, 0.3f) || u.imageRadius(NAN, 0.3f); }, false},
        {[](auto& u) { return u.offsetAngle(0) && u.offsetAngle(360); }, true},
        {[](auto& u) { return u.offsetAngle(360.5f) || u.offsetAngle(-1); }, false},
        {[](auto& u) { return u.originalCentre(0, 1) && u.originalCentre(1, 0); }, true},
        {[](auto& u) { return u.originalCentre(1.01f, 0.5f) || u.originalCentre(0.5f, -0.01f); }, false},
        {[](auto& u) { return u.originalCentre(NAN, 0.5f); }, false},
        {[](auto& u) { return u.originalSize(0, 0) && u.originalSize(65536, 21845); }, true},
        {[](auto& u) { return u.originalSize(-1, 480) || u.originalSize(65536, 21846); }, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        PanoramaUnwrapper unwrapper;
        ASSERT_TRUE(configure(unwrapper, kStartup));
        EXPECT_EQ(cases[i].first(unwrapper), cases[i].second) << "case " << i;
        if (cases[i].second) continue;
        ASSERT_TRUE(unwrapper.generateTransformation()) << "case " << i;
        const auto panorama = unwrapped(unwrapper, coordinateImage(640, 480));
        EXPECT_EQ(mismatches(*panorama, kStartup), 0) << "a refused value changes nothing: case " << i;
    }
}

TEST(PanoramaUnwrapper, TableNeedsTheOuterRingInsideTheHeightAndMemoryForIt) {
    for (const auto& [height, fits] : {std::pair{448, true}, {447, false}, {480, true}}) {
        PanoramaUnwrapper unwrapper;
        Geometry g = kStartup;
        g.inHeight = height;
        EXPECT_EQ(configure(unwrapper, g), fits) << height;
        EXPECT_EQ(unwrapped(unwrapper, coordinateImage(640, height)) != nullptr, fits) << height;
    }
    // A table the machine cannot hold (32 GB) is refused, not thrown, and
    // leaves no table behind.
    PanoramaUnwrapper unwrapper;
    ASSERT_TRUE(configure(unwrapper, kStartup));
    ASSERT_TRUE(unwrapper.unwrapWidth(92680));
    EXPECT_FALSE(unwrapper.generateTransformation());
    EXPECT_FALSE(unwrapped(unwrapper, coordinateImage(640, 480)));
}

TEST(PanoramaUnwrapper, UnwrapTakesOnlyTheInputTheTableWasBuiltFor) {
    PanoramaUnwrapper unwrapper;
    const cv::Mat input = coordinateImage(640, 480);
    EXPECT_FALSE(unwrapped(unwrapper, input)) << "no table yet";

    ASSERT_TRUE(configure(unwrapper, kStartup));
    cv::Mat wider = coordinateImage(700, 480), strided = wider(cv::Rect(0, 0, 640, 480)), empty, sentinel;
    cv::Mat smaller = coordinateImage(640, 479), grey(480, 640, CV_8UC1, cv::Scalar(0));
    cv::Mat* out = &sentinel;
    for (cv::Mat* wrong : {&smaller, &grey, &strided, &empty}) {
        EXPECT_FALSE(unwrapper.unwrap(wrong, &out));
        EXPECT_EQ(out, &sentinel);
    }
    // Setters called after the table was built change nothing until the
    // next generation.
    ASSERT_TRUE(unwrapper.originalSize(1280, 960) && unwrapper.unwrapWidth(2000) &&
                unwrapper.offsetAngle(10));
    EXPECT_FALSE(unwrapped(unwrapper, coordinateImage(1280, 960)));
    const auto panorama = unwrapped(unwrapper, input);
    ASSERT_TRUE(panorama);
    EXPECT_EQ(panorama->size(), cv::Size(800, 127));
    EXPECT_EQ(mismatches(*panorama, kStartup), 0);
}

TEST(PanoramaUnwrapper, StartupGeometryMatchesTheDocumentedSamples) {
    PanoramaUnwrapper unwrapper;
    ASSERT_TRUE(configure(unwrapper, kStartup));
    const auto panorama = unwrapped(unwrapper, coordinateImage(640, 480));
    ASSERT_TRUE(panorama);
    EXPECT_EQ(panorama->type(), CV_8UC3);
    EXPECT_EQ(decode(panorama->at<cv::Vec3b>(0, 0)), cv::Point(396, 449));
    cv::Rect bounds(decode(panorama->at<cv::Vec3b>(0, 0)), cv::Size(1, 1));
    for (auto it = panorama->begin<cv::Vec3b>(); it != panorama->end<cv::Vec3b>(); ++it)
        bounds |= cv::Rect(decode(*it), cv::Size(1, 1));
    EXPECT_EQ(bounds, cv::Rect(cv::Point(96, 16), cv::Point(544, 464)));
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
            const auto panorama = unwrapped(*unwrapper, coordinateImage(g.inWidth, g.inHeight));
            ASSERT_TRUE(panorama);
            EXPECT_EQ(mismatches(*panorama, g), 0) << g.outWidth;
        }
    }
}
