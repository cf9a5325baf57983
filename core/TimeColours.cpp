#include "core/TimeColours.h"

#include "core/Stretch.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

cv::Mat colouredTimes(const cv::Mat& times, const cv::Mat& trail, float spanSeconds) {
    cv::Mat levels, colours, brightness;
    times.convertTo(levels, CV_8U, 255.0 / std::max(spanSeconds, 0.001f));
    cv::applyColorMap(levels, colours, cv::COLORMAP_VIRIDIS);
    // Brightness: the trail's brightest channel; nothing where nothing rose.
    const cv::Mat eight = trail.depth() == CV_8U ? trail : stretchToEightBits(trail, Stretch::linear);
    cv::Mat trailChannels = eight.channels() == 1 ? eight : cv::Mat();
    if (eight.channels() > 1) {
        std::vector<cv::Mat> channels;
        cv::split(eight, channels);
        trailChannels = channels[0];
        for (size_t c = 1; c < channels.size() && c < 3; ++c)
            cv::max(trailChannels, channels[c], trailChannels);
    }
    trailChannels.setTo(0, times <= 0);
    cv::cvtColor(trailChannels, brightness, cv::COLOR_GRAY2BGR);
    cv::multiply(colours, brightness, colours, 1.0 / 255);
    return colours;
}

cv::Mat timeScale(cv::Size size) {
    cv::Mat levels(1, size.width, CV_8U), colours;
    for (int x = 0; x < size.width; ++x)
        levels.at<uchar>(x) = static_cast<uchar>(x * 255 / std::max(1, size.width - 1));
    cv::applyColorMap(levels, colours, cv::COLORMAP_VIRIDIS);
    cv::Mat scale;
    cv::resize(colours, scale, size, 0, 0, cv::INTER_NEAREST);
    return scale;
}
