// The scripted night of the end-to-end check, and the trails it should give,
// computed here on their own. Usage:
//   scripted_night frames DIR                  the night's 400 images, DIR/00001.png ...
//   scripted_night expect OUT FIRST LAST [SKIP_FIRST SKIP_LAST]
//                                              the maximum of images FIRST..LAST without the
//                                              flashes (and without SKIP_FIRST..SKIP_LAST)
//   scripted_night same A B                    0 when both images hold the same pixels
//   scripted_night meteors VIDEO TRUTH         a 25 fps Motion-JPEG night of 160 s with 16
//                                              meteors, 3 blinking planes, 3 satellites,
//                                              twinkling stars and a flash; TRUTH: the
//                                              meteors as JSON
// Images half a second apart: six stars drifting; a white image (50); ten of a
// bright band over 42 % of the picture (100-109); one 90 levels brighter
// everywhere (150); a meteor's streak (200); the third minute 20 levels
// hazier (241-360).
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "MeteorSky.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace {

bool flash(int i) { return i == 50 || (i >= 100 && i <= 109) || i == 150; }

cv::Mat image(int i) {
    if (i == 50) return cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(255));
    const int background = i >= 241 && i <= 360 ? 30 : 10;
    cv::Mat sky(120, 160, CV_8UC3, cv::Scalar::all(background));
    for (int k = 0; k < 6; ++k)
        sky.at<cv::Vec3b>(8 + 18 * k, (i / 2 + 29 * k) % 160) = cv::Vec3b(200, 190, 170);
    if (i >= 100 && i <= 109) sky(cv::Rect(0, 0, 160, 51)).setTo(cv::Scalar::all(200));
    if (i == 150) sky += cv::Scalar::all(90);
    if (i == 200) cv::line(sky, {10, 100}, {150, 20}, cv::Scalar::all(250));
    return sky;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "frames" && argc == 3) {
        for (int i = 1; i <= 400; ++i)
            if (!cv::imwrite(cv::format("%s/%05d.png", argv[2], i), image(i))) return 1;
        return 0;
    }
    if (mode == "expect" && (argc == 5 || argc == 7)) {
        const int first = std::stoi(argv[3]), last = std::stoi(argv[4]);
        const int skipFirst = argc == 7 ? std::stoi(argv[5]) : 0,
                  skipLast = argc == 7 ? std::stoi(argv[6]) : -1;
        cv::Mat maximum;
        for (int i = first; i <= last; ++i) {
            if (flash(i) || (i >= skipFirst && i <= skipLast)) continue;
            maximum.empty() ? void(maximum = image(i)) : cv::max(maximum, image(i), maximum);
        }
        return cv::imwrite(argv[2], maximum) ? 0 : 1;
    }
    if (mode == "meteors" && argc == 4) {
        MeteorSkySettings settings;
        settings.size = {640, 360};
        settings.seconds = 160;
        settings.minAmplitude = 50;
        settings.clouds = 0;
        settings.flashes = {80};
        settings.seed = 7;
        const MeteorSky sky(settings);
        cv::VideoWriter video(argv[2], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), settings.fps,
                              settings.size);
        if (!video.isOpened()) return 1;
        cv::Mat colour;
        for (int i = 0; i < sky.frames(); ++i) {
            cv::cvtColor(sky.frame(i), colour, cv::COLOR_GRAY2BGR);
            video.write(colour);
        }
        FILE* truth = std::fopen(argv[3], "w");
        if (truth == nullptr) return 1;
        const auto iso = [](int64_t millis) {
            const std::time_t seconds = millis / 1000;
            std::tm utc{};
            gmtime_r(&seconds, &utc);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
            return cv::format("%s.%03dZ", text, static_cast<int>(millis % 1000));
        };
        std::fprintf(truth, "[");
        for (size_t k = 0; k < sky.meteors().size(); ++k) {
            const TrueMeteor& m = sky.meteors()[k];
            std::fprintf(truth,
                         "%s{\"start\":\"%s\",\"end\":\"%s\",\"from\":[%.1f,%.1f],\"to\":[%.1f,%.1f],"
                         "\"amplitude\":%d}\n",
                         k > 0 ? "," : "", iso(m.startMillis).c_str(), iso(m.endMillis).c_str(), m.from.x,
                         m.from.y, m.to.x, m.to.y, m.amplitude);
        }
        std::fprintf(truth, "]\n");
        return std::fclose(truth) == 0 ? 0 : 1;
    }
    if (mode == "same" && argc == 4) {
        const cv::Mat a = cv::imread(argv[2], cv::IMREAD_UNCHANGED),
                      b = cv::imread(argv[3], cv::IMREAD_UNCHANGED);
        const bool same =
            !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
        if (!same) std::fprintf(stderr, "%s and %s differ\n", argv[2], argv[3]);
        return same ? 0 : 1;
    }
    std::fprintf(
        stderr,
        "usage: scripted_night frames DIR | expect OUT FIRST LAST [SKIP_FIRST SKIP_LAST] | same A B\n");
    return 2;
}
