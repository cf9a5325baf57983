#include "core/EightBits.h"

#include <opencv2/imgproc.hpp>

bool convertToEightBits(cv::Mat& image) {
    const int depth = image.depth();
    if (depth == CV_8U) return false;
    cv::Mat converted;
    if (depth == CV_16U)
        image.convertTo(converted, CV_8U, 1.0 / 257);
    else if (depth == CV_16S)
        image.convertTo(converted, CV_8U, 1.0 / 257, 32768.0 / 257);
    else if (depth == CV_8S)
        image.convertTo(converted, CV_8U, 1, 128);
    else
        image.convertTo(converted, CV_8U, 255);
    image = converted;
    return true;
}

cv::Mat eightBitColour(const cv::Mat& image) {
    cv::Mat colour = image;
    convertToEightBits(colour);
    if (colour.channels() == 1) cv::cvtColor(colour, colour, cv::COLOR_GRAY2BGR);
    if (colour.channels() == 4) cv::cvtColor(colour, colour, cv::COLOR_BGRA2BGR);
    return colour;
}

std::string describeImageType(int type) {
    const int channels = CV_MAT_CN(type);
    const int depth = CV_MAT_DEPTH(type);
    const int bits = depth <= CV_8S ? 8 : depth <= CV_16S ? 16 : depth == CV_64F ? 64 : 32;
    return std::to_string(channels) + (channels == 1 ? " channel of " : " channels of ") +
           std::to_string(bits) + " bits";
}

cv::Mat shown(const cv::Mat& image, Stretch stretch) {
    return eightBitColour(image.depth() == CV_16U ? stretchToEightBits(image, stretch) : image);
}

std::string describeImage(cv::Size size, int type) {
    return std::to_string(size.width) + "x" + std::to_string(size.height) + " of " + describeImageType(type);
}
