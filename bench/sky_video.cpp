// Writes the demo sky as a Motion-JPEG video for the benchmark scripts.
// Usage: bench_sky_video OUT.avi WIDTH HEIGHT IMAGES
#include "camera/DemoSky.h"

#include <opencv2/videoio.hpp>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) return std::fprintf(stderr, "usage: bench_sky_video OUT.avi WIDTH HEIGHT IMAGES\n"), 2;
    const cv::Size size(std::stoi(argv[2]), std::stoi(argv[3]));
    DemoSky sky;
    sky.configure({size, 30});
    cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, size);
    if (!writer.isOpened()) return std::fprintf(stderr, "cannot write %s\n", argv[1]), 1;
    for (int i = std::stoi(argv[4]); i > 0; --i)
        writer.write(sky.render());
    return 0;
}
