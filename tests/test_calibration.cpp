#include "LoopParts.h"
#include "calibration/Calibrator.h"
#include "calibration/DarkMerge.h"
#include "calibration/HotPixels.h"
#include "calibration/MedianImage.h"
#include "core/EightBits.h"
#include "core/FileNames.h"
#include "segments/SegmentOptions.h"
#include "segments/SegmentWriter.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <fstream>

namespace {

// Noise over a dark floor, stars drifting a pixel every 8 images and twinkling,
// and the sensor's own: a dark pattern (a glowing corner), hot pixels (250)
// and warm ones (60 above the sky).
cv::Mat skyImage(int i, const cv::Mat& dark, const std::vector<cv::Point>& hot,
                 const std::vector<cv::Point>& warm = {}) {
    cv::Mat image(dark.size(), CV_8UC1);
    cv::RNG random(static_cast<uint64_t>(i) + 1);
    random.fill(image, cv::RNG::NORMAL, 20, 3);
    for (int k = 0; 8 + 15 * k < image.rows; ++k)
        image.at<uchar>(8 + 15 * k, (i / 8 + 20 * k) % image.cols) =
            static_cast<uchar>(random.uniform(150, 220));
    image += dark;
    for (const cv::Point& p : warm)
        image.at<uchar>(p) = cv::saturate_cast<uchar>(image.at<uchar>(p) + 60);
    for (const cv::Point& p : hot)
        image.at<uchar>(p) = 250;
    return image;
}

// The median of a pixel's neighbours in their channel, those marked hot and
// those off the image left out, as the calibration must fill it.
uchar neighbourMedian(const cv::Mat& image, const cv::Mat& hot, cv::Point p) {
    std::vector<int> values;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const cv::Point n(p.x + dx, p.y + dy);
            if ((dx != 0 || dy != 0) && n.inside({0, 0, image.cols, image.rows}) && hot.at<uchar>(n) == 0)
                values.push_back(image.at<uchar>(n));
        }
    std::sort(values.begin(), values.end());
    const size_t m = values.size() / 2;
    return static_cast<uchar>(values.size() % 2 ? values[m] : (values[m - 1] + values[m] + 1) / 2);
}

// What listeners are told of each image: the calibrated one and the camera's own.
struct Seen : TrailListener {
    std::vector<cv::Mat> calibrated, own;
    void framed(const Frame& f) override {
        calibrated.push_back(f.image.clone()), own.push_back(f.cameraImage().clone());
    }
};

}  // namespace

// A dark and a mask of hot pixels (two of them side by side): each image is
// calibrated before it is merged, so the trail is the maximum of the
// calibrated images, computed here on their own; a hot pixel is filled from
// its neighbours that are not hot. Listeners keep the camera's own image.
TEST(Calibration, DarkAndHotPixelsComeOutBeforeTheMerge) {
    TempWorkingDir dir;
    cv::Mat dark(48, 64, CV_8UC1, cv::Scalar(5));
    dark(cv::Rect(48, 0, 16, 16)).setTo(60);  // amp glow
    const std::vector<cv::Point> hot{{10, 30}, {11, 30}, {40, 5}};
    cv::Mat mask(48, 64, CV_8UC1, cv::Scalar(0));
    for (const cv::Point& p : hot)
        mask.at<uchar>(p) = 255;
    ASSERT_TRUE(cv::imwrite("dark.png", dark) && cv::imwrite("mask.png", mask));
    CalibrationSettings settings;
    settings.dark = "dark.png";
    settings.hotPixels = "mask.png";
    settings.hotMargin = 200;  // the dark's own pixels are none of them hot
    CapturedStream err;
    auto calibrator = Calibrator::make(settings, "img", err.file);
    ASSERT_TRUE(calibrator) << calibrator.reason();

    LoopParts<> parts;
    parts.camera.scene = [&](int i) { return skyImage(i, dark, hot); };
    parts.camera.budget = 3 + 30;
    CalibratedCamera calibrated(parts.camera, **calibrator);
    ASSERT_TRUE(calibrated.checkFirstImage());
    CaptureState capture(calibrated, parts.clock, parts.out.file);
    CaptureSource source(capture);
    Seen seen;
    TrailLoop loop(parts.inputs(), {false, true}, {&parts.snapshots, &seen});
    EXPECT_EQ(loop.run(source), 0);

    cv::Mat expected;
    std::vector<cv::Mat> images;  // calibrated here, on their own
    for (int i = 1; i <= 33; ++i) {
        cv::Mat image;
        cv::subtract(skyImage(i, dark, hot), dark, image);
        const cv::Mat before = image.clone();
        for (const cv::Point& p : hot)
            image.at<uchar>(p) = neighbourMedian(before, mask, p);
        images.push_back(image);
        expected = expected.empty() ? image : cv::max(expected, image);
    }
    ASSERT_EQ(parts.snapshots.made.size(), 1u);
    EXPECT_TRUE(samePixels(parts.snapshots.made[0].trail, expected));
    ASSERT_EQ(seen.own.size(), 33u);
    for (const int i : {0, 5, 32})  // start-up's, a plain merge's, a tick's
        EXPECT_TRUE(samePixels(seen.calibrated[i], images[i]))
            << "segments, keogram and the rest see it " << i;
    EXPECT_TRUE(samePixels(seen.own[5], skyImage(6, dark, hot))) << "the camera's own image, for clips";
    EXPECT_EQ((*calibrator)->sidecarMembers(),
              "\"dark\":\"dark.png\",\"dark_temperature_delta\":null,\"hot_pixels\":3");
    EXPECT_EQ(err.text(), "hot pixels: 3\n");

    // A camera that changes its mode to a size the dark does not fit: said
    // once, its images go uncalibrated.
    for (int i = 0; i < 2; ++i) {
        Frame other{cv::Mat(24, 32, CV_8UC1, cv::Scalar(9)), 0};
        (*calibrator)->apply(other);
        EXPECT_EQ(other.image.at<uchar>(0, 0), 9);
    }
    EXPECT_EQ(err.lines(2),
              (std::vector<std::string>{
                  "the dark dark.png is 64x48 of 1 channel of 8 bits, the camera's images are now 32x24 "
                  "of 1 channel of 8 bits: they go uncalibrated until they fit again",
                  "the hot pixel mask mask.png is 64x48 of 1 channel of 8 bits, the camera's images are "
                  "now 32x24 of 1 channel of 8 bits: they go unfilled until they fit again"}));
    // A dark or a mask of another size is refused at the first image, naming both.
    const cv::Mat small(24, 32, CV_8UC3, cv::Scalar::all(0));
    EXPECT_EQ((*calibrator)->check(small).reason(),
              "the dark dark.png is 64x48 of 1 channel of 8 bits, the camera's images are 32x24 of 3 "
              "channels of 8 bits");
}

// Without a cover: the 200 hot and warm pixels of a starry sky found from
// the images themselves, no star among them; the map kept, the trail so far
// mended, every other pixel of the trail untouched; and the map taken up by
// the next run.
TEST(Calibration, HotPixelsLearnedFromTheSkyAndTakenUpAgain) {
    TempWorkingDir dir;
    const cv::Mat noDark(120, 160, CV_8UC1, cv::Scalar(0));
    std::vector<cv::Point> hot, warm;
    cv::RNG random(3);
    cv::Mat truth(noDark.size(), CV_8UC1, cv::Scalar(0));
    while (hot.size() + warm.size() < 200) {
        const cv::Point p(random.uniform(0, 160), random.uniform(0, 120));
        if (truth.at<uchar>(p) != 0) continue;
        truth.at<uchar>(p) = 255;
        (hot.size() < 100 ? hot : warm).push_back(p);
    }
    CalibrationSettings settings;
    settings.hotPixels = "auto";
    CapturedStream err;
    auto calibrator = Calibrator::make(settings, ".", err.file);
    ASSERT_TRUE(calibrator);
    LoopParts<> parts;
    parts.camera.scene = [&](int i) { return skyImage(i, noDark, hot, warm); };
    parts.camera.budget = 3 + 150;
    parts.camera.step = 6000;  // an image every 6 s: a star drifts a pixel in 48 s
    CalibratedCamera calibrated(parts.camera, **calibrator);
    CaptureState capture(calibrated, parts.clock, parts.out.file);
    CaptureSource source(capture);
    TrailLoop loop(parts.inputs(), {false, true}, {&parts.snapshots});
    EXPECT_EQ(loop.run(source), 0);

    const cv::Mat found = cv::imread(kHotPixelsFile, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(found.size(), truth.size());
    const int right = cv::countNonZero(found & truth), others = cv::countNonZero(found) - right;
    RecordProperty("found", right), RecordProperty("others", others);
    EXPECT_GE(right, 190) << "of 200";
    EXPECT_LE(others, 5) << "stars taken for hot pixels";
    EXPECT_EQ(err.text(),
              cv::format("hot pixels: %d found in 100 images over 9.9 minutes, kept in ./hot-pixels.png\n",
                         right + others));
    ASSERT_EQ(parts.snapshots.made.size(), 1u);
    const cv::Mat& trail = parts.snapshots.made[0].trail;
    double brightest = 0;
    cv::minMaxLoc(trail, nullptr, &brightest, nullptr, nullptr, found);
    EXPECT_LT(brightest, 100) << "the trail is mended where it took hot pixels before they were known";
    cv::Mat sky = skyImage(1, noDark, {});
    for (int i = 2; i <= 153; ++i)
        sky = cv::max(sky, skyImage(i, noDark, {}));
    const cv::Mat elsewhere = (found | truth) == 0;
    EXPECT_EQ(cv::norm(trail, sky, cv::NORM_INF, elsewhere), 0) << "every other pixel as the sky left it";

    // The next run takes the map up: its segments, composed, have the hot
    // pixels gone and every other pixel as the sky left it.
    LocalTimeIsUtc utc;
    CapturedStream again;
    auto restarted = Calibrator::make(settings, ".", again.file);
    LoopParts<> next;
    next.camera.scene = parts.camera.scene;
    next.camera.budget = 3 + 90;
    next.camera.now = 1796680800000;  // 2026-12-07T22:00:00Z
    next.camera.step = 1000;
    CalibratedCamera calibratedAgain(next.camera, **restarted);
    CaptureState captureAgain(calibratedAgain, next.clock, next.out.file);
    CaptureSource sourceAgain(captureAgain);
    {
        SegmentWriter segments(".", 60, 10, again.file);
        TrailLoop loopAgain(next.inputs(), {false, true}, {&segments});
        EXPECT_EQ(loopAgain.run(sourceAgain), 0);
    }
    EXPECT_EQ(again.text(), cv::format("hot pixels: %d taken up from ./hot-pixels.png\n", right + others));
    ASSERT_EQ(runCompose({true, "segments-2026-12-07", "c.png", {}}, again.file, again.file), 0);
    const cv::Mat composed = cv::imread("c.png", cv::IMREAD_UNCHANGED);
    cv::Mat night = skyImage(1, noDark, {});
    for (int i = 2; i <= 93; ++i)
        night = cv::max(night, skyImage(i, noDark, {}));
    cv::minMaxLoc(composed, nullptr, &brightest, nullptr, nullptr, found);
    EXPECT_LT(brightest, 100) << "hot pixels in the composed segments";
    EXPECT_EQ(cv::norm(composed, night, cv::NORM_INF, elsewhere), 0);
}

// At 25 images a second, 100 images span 4 s, in which the stars stand
// still: the learner looks at images spread over minutes instead, in which
// they drift (a pixel in 30 s) and hot pixels stay.
TEST(Calibration, HotPixelsAreLearnedOverMinutesWhateverTheRate) {
    cv::RNG random(5);
    std::vector<cv::Point2f> stars;
    std::vector<cv::Point> hot;
    for (int i = 0; i < 60; ++i)
        stars.emplace_back(random.uniform(10.f, 100.f), random.uniform(5.f, 115.f));
    cv::Mat truth(120, 160, CV_8UC1, cv::Scalar(0));
    while (hot.size() < 50) {
        const cv::Point p(random.uniform(1, 159), random.uniform(1, 119));
        if (truth.at<uchar>(p) == 0) truth.at<uchar>(p) = 255, hot.push_back(p);
    }
    HotPixelLearner learner(100, 40);
    int64_t millis = 0;
    for (bool done = false; !done; millis += 40) {
        ASSERT_LT(millis, 20 * 60 * 1000) << "never done learning";
        cv::Mat image(truth.size(), CV_8UC1, cv::Scalar(20));
        for (const cv::Point2f& star : stars)  // sharp, one pixel: as a hot pixel looks
            image.at<uchar>(
                cv::Point(static_cast<int>(star.x + millis / 30000.0), static_cast<int>(star.y))) = 200;
        for (const cv::Point& p : hot)
            image.at<uchar>(p) = 250;
        done = learner.add(image, millis);
    }
    EXPECT_EQ(learner.seen(), 100);
    EXPECT_GE(learner.spannedMillis(), 9 * 60 * 1000);
    const cv::Mat found = learner.map().mask();
    EXPECT_EQ(cv::countNonZero(found & truth), 50);
    EXPECT_EQ(cv::countNonZero(found) - 50, 0) << "stars taken for hot pixels";
}

// A library: the dark of the image's size and depth, the camera's exposure
// and gain, the temperature nearest the sensor's within the limit; none
// fits: said once, the images go as they are.
TEST(Calibration, ALibraryGivesTheDarkOfTheCamerasSettingsAndTemperature) {
    TempWorkingDir dir;
    std::filesystem::create_directory("darks");
    const auto dark = [](const std::string& name, int level, double exposure, double gain, double celsius,
                         cv::Size size = {64, 48}) {
        cv::imwrite("darks/" + name + ".png", cv::Mat(size, CV_8UC1, cv::Scalar(level)));
        DarkDescription d{exposure, gain, celsius, size, 8, 30, 0};
        std::ofstream("darks/" + name + ".json") << darkSidecarJson(d);
    };
    dark("cold", 1, 2, 100, -10);
    dark("warm", 2, 2, 100, 10);
    dark("other-gain", 3, 2, 200, 10);
    dark("other-exposure", 4, 4, 100, 10);
    dark("other-size", 5, 2, 100, 10, {32, 24});
    std::ofstream("darks/broken.json") << "{\"width\":64";
    CalibrationSettings settings;
    settings.dark = "darks";
    settings.exposureSeconds = 2;  // as set; the camera tells its gain and temperature
    CapturedStream err;
    auto calibrator = Calibrator::make(settings, "img", err.file);
    ASSERT_TRUE(calibrator) << calibrator.reason();
    struct Telling : SyntheticCamera {
        std::optional<double> celsius;
        std::optional<double> sensorCelsius() const override { return celsius; }
        std::optional<double> gain() const override { return 100; }
    } camera;
    int64_t now = 0;
    const auto subtracted = [&](std::optional<double> celsius) {
        Frame frame{cv::Mat(48, 64, CV_8UC1, cv::Scalar(50)), now += 61000};
        camera.celsius = celsius;
        (*calibrator)->apply(frame, &camera);
        frame.finishNow();
        return 50 - frame.image.at<uchar>(0, 0);
    };
    EXPECT_EQ(subtracted(-7), 1);
    EXPECT_EQ(subtracted(6), 2);
    EXPECT_EQ((*calibrator)->sidecarMembers(),
              "\"dark\":\"warm.png\",\"dark_temperature_delta\":4.0,\"hot_pixels\":0");
    EXPECT_EQ(subtracted(30), 0);
    EXPECT_EQ(subtracted(31), 0);
    EXPECT_EQ(
        err.lines(),
        (std::vector<std::string>{
            "dark: cold.png, 3.0 degrees from the sensor", "dark: warm.png, 4.0 degrees from the sensor",
            "no dark in darks fits the camera's images (64x48 of 1 channel of 8 bits, exposure 2 s, "
            "gain 100, within 5 degrees of the sensor): they go uncalibrated until one does"}));
}

// Darks and masks are checked as read, before the images are calibrated:
// a file whose header declares a huge image (a 2.6 MB PNG of 30000x30000
// decodes into gigabytes) is refused before it is decoded; a library's dark
// whose channels or depth are not what its sidecar and the camera say is
// refused in one line and reported as no dark; a grey mask with alpha is a
// grey mask.
TEST(Calibration, DarksAndMasksAreCheckedAsRead) {
    TempWorkingDir dir;
    // A real PNG's header made to declare 30000x30000: nothing but its header is read.
    const auto bomb = [](const std::string& path) {
        std::vector<uchar> png;
        cv::imencode(".png", cv::Mat(4, 4, CV_8UC1, cv::Scalar(0)), png);
        for (const int at : {16, 20})
            png[at] = 0, png[at + 1] = 0, png[at + 2] = 0x75, png[at + 3] = 0x30;  // 30000
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), png.size());
    };
    bomb("bomb.png");
    const cv::Mat colour(48, 64, CV_8UC3, cv::Scalar::all(50));
    struct Case {
        std::string dark, mask, expected;
    };
    for (const Case& c : std::vector<Case>{
             {"bomb.png", "",
              "the dark bomb.png is 30000x30000, the camera's images are 64x48 of 3 channels of 8 bits"},
             {"", "bomb.png",
              "the hot pixel mask bomb.png is 30000x30000, the camera's images are 64x48 of 3 channels of 8 "
              "bits"}}) {
        CalibrationSettings settings;
        settings.dark = c.dark, settings.hotPixels = c.mask;
        CapturedStream err;
        auto calibrator = Calibrator::make(settings, ".", err.file);
        ASSERT_TRUE(calibrator) << calibrator.reason();
        EXPECT_EQ((*calibrator)->check(colour).reason(), c.expected);
    }
    // A kept automatic map that is a bomb is not taken up: learned anew.
    bomb(kHotPixelsFile);
    {
        CalibrationSettings settings;
        settings.hotPixels = "auto";
        CapturedStream err;
        auto calibrator = Calibrator::make(settings, ".", err.file);
        Frame frame{colour.clone(), 0};
        (*calibrator)->apply(frame);
        EXPECT_EQ(err.text(), "") << "nothing taken up";
        // Learned, then learned again for another size: said each time, the same words too.
        int64_t millis = 0;
        for (const cv::Size size : {cv::Size(64, 48), cv::Size(32, 24)})
            for (int i = 0; i < 100; ++i) {
                Frame image{cv::Mat(size, CV_8UC3, cv::Scalar::all(50)), millis += 6000};
                image.image.at<cv::Vec3b>(5, 5) = {250, 250, 250};
                (*calibrator)->apply(image);
            }
        EXPECT_EQ(err.lines(),
                  std::vector<std::string>(
                      2, "hot pixels: 1 found in 100 images over 9.9 minutes, kept in ./hot-pixels.png"));
    }

    // A grey mask with alpha marks its pixels in every channel.
    cv::Mat greyAlpha(48, 64, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    greyAlpha.at<cv::Vec4b>(10, 10) = {255, 255, 255, 255};
    ASSERT_TRUE(cv::imwrite("alpha.png", greyAlpha));
    {
        CalibrationSettings settings;
        settings.hotPixels = "alpha.png";
        CapturedStream err;
        auto calibrator = Calibrator::make(settings, ".", err.file);
        ASSERT_TRUE((*calibrator)->check(colour));
        Frame frame{colour.clone(), 0};
        frame.image.at<cv::Vec3b>(10, 10) = {250, 250, 250};
        (*calibrator)->apply(frame);
        frame.finishNow();
        EXPECT_EQ(frame.image.at<cv::Vec3b>(10, 10), cv::Vec3b(50, 50, 50));
        EXPECT_EQ(err.text(), "hot pixels: 1\n");
    }

    // A library whose darks are not what they say: a mono one for a colour
    // camera, a 16-bit one whose sidecar says 8; the camera's images go
    // uncalibrated, said once, and no dark is reported.
    std::filesystem::create_directory("darks");
    for (const auto& [name, image] : std::vector<std::pair<std::string, cv::Mat>>{
             {"mono", cv::Mat(48, 64, CV_8UC1, cv::Scalar(9))},
             {"deep", cv::Mat(48, 64, CV_16UC3, cv::Scalar::all(9))}}) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all("darks");
        std::filesystem::create_directory("darks");
        cv::imwrite("darks/" + name + ".png", image);
        std::ofstream("darks/" + name + ".json")
            << darkSidecarJson({2.0, 100.0, std::nullopt, {64, 48}, 8, 30, 0});
        CalibrationSettings settings;
        settings.dark = "darks";
        settings.exposureSeconds = 2, settings.gain = 100;
        CapturedStream err;
        auto calibrator = Calibrator::make(settings, "img", err.file);
        ASSERT_TRUE(calibrator) << calibrator.reason();
        for (int64_t millis : {0, 61000, 122000}) {
            Frame frame{colour.clone(), millis};
            (*calibrator)->apply(frame);
            frame.finishNow();
            EXPECT_EQ(frame.image.at<cv::Vec3b>(0, 0), cv::Vec3b(50, 50, 50));
        }
        EXPECT_EQ(err.lines(), (std::vector<std::string>{"the dark darks/" + name + ".png is 64x48 of " +
                                                         describeImageType(image.type()) +
                                                         ", the camera's images are 64x48 of 3 channels of 8 "
                                                         "bits: it is not used"}));
        EXPECT_EQ((*calibrator)->sidecarMembers(),
                  "\"dark\":null,\"dark_temperature_delta\":null,\"hot_pixels\":0");
    }
}

// The one pass that takes the dark off and merges equals a subtraction and
// then a maximum, for 8 and 16 bits, rows that end mid-vector, no dark, and
// images whose rows are not continuous.
TEST(Calibration, DarkTakenOffInTheMergesPass) {
    cv::RNG random(9);
    // Each vector path, on random images and on all black and all white ones.
    forEachVectorPath([&random](VectorPath path) {
        SCOPED_TRACE(vectorPathName(path));
        for (const int type : {CV_8UC3, CV_16UC1, CV_8UC1})
            for (const bool withDark : {true, false})
                for (const auto& [imageFill, darkFill] : {std::pair{2, 2}, {1, 0}, {0, 1}, {1, 1}}) {
                    cv::Mat image(37, 61, type), dark(37, 61, type), trail(37, 61, type);
                    fillForPaths(image, imageFill, random);
                    fillForPaths(dark, darkFill, random);
                    fillForPaths(trail, 2, random);
                    if (!withDark) dark.release();
                    const cv::Mat expected = dark.empty() ? image.clone() : cv::Mat(image - dark);
                    for (const cv::Rect part : {cv::Rect(0, 0, 61, 37), cv::Rect(1, 2, 50, 30)}) {
                        cv::Mat out, merged = trail(part).clone(), strided = trail.clone()(part);
                        subtractDarkAndMerge(image(part), dark.empty() ? dark : dark(part), out, &strided);
                        cv::max(merged, expected(part), merged);
                        EXPECT_TRUE(samePixels(out, expected(part)) && samePixels(strided, merged))
                            << type << withDark;
                    }
                }
    });
}

// The median of each pixel over the images, a few rows at a time.
TEST(Calibration, MedianOfImagesInBands) {
    TempWorkingDir dir;
    for (const auto& [type, count] : {std::pair{CV_8UC3, 5}, {CV_16UC1, 6}}) {
        MedianImage median(".", 3000);  // a few rows of every image at once
        std::vector<cv::Mat> images;
        for (int i = 0; i < count; ++i) {
            images.emplace_back(30, 40, type);
            cv::RNG(static_cast<uint64_t>(i))
                .fill(images.back(), cv::RNG::UNIFORM, 0, type == CV_8UC3 ? 256 : 60000);
            ASSERT_TRUE(median.add(images.back()));
        }
        EXPECT_FALSE(median.add(cv::Mat(30, 41, type)));
        const Result<cv::Mat> made = median.median();
        ASSERT_TRUE(made) << made.reason();
        cv::Mat expected(30, 40, type);
        for (size_t e = 0; e < expected.total() * expected.channels(); ++e) {
            std::vector<int> values;
            for (const cv::Mat& image : images)
                values.push_back(type == CV_8UC3 ? image.data[e]
                                                 : reinterpret_cast<const uint16_t*>(image.data)[e]);
            std::sort(values.begin(), values.end());
            const int m = count / 2, value = count % 2 ? values[m] : (values[m - 1] + values[m] + 1) / 2;
            if (type == CV_8UC3)
                expected.data[e] = static_cast<uchar>(value);
            else
                reinterpret_cast<uint16_t*>(expected.data)[e] = static_cast<uint16_t>(value);
        }
        EXPECT_TRUE(samePixels(*made, expected)) << type;
    }
}
