#include "record/Recording.h"

#include "platform/Files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kDeclaredFps = 10.0;
// Room kept free beyond the next image's likely size.
constexpr int64_t kDiskMargin = 1 << 20;

// ".7.avi.recording.avi" beside "7.avi": the container follows the extension.
std::string hiddenName(const std::string& videoPath) {
    const auto slash = videoPath.rfind('/');
    const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
    return videoPath.substr(0, nameStart) + "." + videoPath.substr(nameStart) + ".recording.avi";
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

}  // namespace

Recording::Recording(std::string videoPath, std::string logPath)
    : videoPath_(std::move(videoPath)), logPath_(std::move(logPath)), hiddenPath_(hiddenName(videoPath_)) {}

Recording::~Recording() {
    if (!finished_) (void)finish();
}

Result<> Recording::add(const cv::Mat& image) {
    if (!outVideo.isOpened()) {
        sz = image.size();
        try {
            outVideo.open(hiddenPath_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kDeclaredFps, sz, true);
        } catch (const cv::Exception&) {
            // said below like any other writer that did not open
        }
        if (!outVideo.isOpened()) return Failure{"error opening output video"};
    } else if (image.size() != sz) {
        return Failure{"camera image changed to " + std::to_string(image.cols) + "x" +
                       std::to_string(image.rows) + ", recording ended"};
    }
    const auto slash = videoPath_.rfind('/');
    const int64_t free = freeBytesFor(slash == std::string::npos ? "." : videoPath_.substr(0, slash + 1));
    if (free >= 0 && free < 2 * largestImageBytes_ + kDiskMargin)
        return Failure{"disk nearly full, recording ended"};
    const int64_t before = fileSize(empty() ? hiddenPath_ : videoPath_);
    try {
        outVideo.write(image);
    } catch (const cv::Exception& e) {
        return Failure{std::string("cannot write the video (") + e.what() + "), recording ended"};
    }
    if (empty() && std::rename(hiddenPath_.c_str(), videoPath_.c_str()) != 0)
        return Failure{"error opening output video"};
    largestImageBytes_ = std::max<int64_t>(largestImageBytes_, fileSize(videoPath_) - before);
    return {};
}

void Recording::addInterval(double seconds) {
    const cv::Mat time(1, 1, CV_64F, cv::Scalar(seconds));
    times.push_back(time);
}

Result<> Recording::finish() {
    finished_ = true;
    outVideo.release();
    // Nothing recorded: an older video and log stay as they were.
    if (empty()) {
        std::remove(hiddenPath_.c_str());
        return {};
    }
    try {
        cv::FileStorage outVideoTimes(logPath_, cv::FileStorage::WRITE, "");
        if (outVideoTimes.isOpened()) outVideoTimes << "times" << times;
    } catch (const cv::Exception&) {
        return Failure{"cannot write the interval log " + logPath_};
    }
    return {};
}
