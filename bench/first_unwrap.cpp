// Prints the time in microseconds of the first unwrap in this process, with
// the start-up geometry on a 640 x 480 image, as the tool does at start-up.
#include "PanoramaUnwrapper.h"
#include "cvio.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdio>
#include <memory>

int main() {
    cv::Mat image(480, 640, CV_8UC3);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
    PanoramaUnwrapper unwrapper;
    if (!useStartupGeometry(unwrapper, 640, 480)) return 1;
    cv::Mat* panorama = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const bool done = unwrapper.unwrap(&image, &panorama);
    const auto stop = std::chrono::steady_clock::now();
    std::unique_ptr<cv::Mat> owned(panorama);
    if (!done) return 1;
    std::printf("%.1f\n", std::chrono::duration<double, std::micro>(stop - start).count());
    return 0;
}
