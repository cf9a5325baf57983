#include "input/openInput.h"

#include "platform/MjpegVideo.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <sys/stat.h>

#include <utility>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool isImageName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* extension : {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".bmp"}) {
        const std::string e = extension;
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
    }
    return false;
}

int64_t millisOf(int64_t index, double imagesPerSecond) {
    return static_cast<int64_t>(std::llround(static_cast<double>(index) * 1000.0 / imagesPerSecond));
}

// The files of a sequence pattern, from its first existing number on.
std::vector<std::string> filesOfPattern(const std::string& pattern) {
    std::vector<std::string> files;
    const auto nameOf = [&pattern](int index) {
        std::vector<char> name(pattern.size() + 32);
        std::snprintf(name.data(), name.size(), pattern.c_str(), index);
        return std::string(name.data());
    };
    int first = 0;
    while (first < 1000 && !fs::exists(nameOf(first)))
        ++first;
    for (int i = first; fs::exists(nameOf(i)); ++i)
        files.push_back(nameOf(i));
    return files;
}

constexpr size_t kWidestNumber = 10;  // digits of the largest int

// A pattern must hold exactly one integer conversion and nothing else. Its
// field width, when given: -1 when there is no such conversion.
long sequenceFieldWidth(const std::string& path) {
    const auto percent = path.find('%');
    if (percent == std::string::npos || path.find('%', percent + 1) != std::string::npos) return -1;
    size_t i = percent + 1;
    while (i < path.size() && (std::isdigit(static_cast<unsigned char>(path[i])) != 0))
        ++i;
    if (i == path.size() || path[i] != 'd') return -1;
    const std::string width = path.substr(percent + 1, i - percent - 1);
    return width.size() > 3 ? LONG_MAX : width.empty() ? 0 : std::stol(width);
}

// When a recording began, for its absolute times: the time given, or else
// the modification time of its file (a folder's first image).
int64_t originOf(const std::string& file, std::optional<int64_t> given) {
    if (given) return *given;
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) return 0;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

std::unique_ptr<RecordedInput> imagesInput(std::vector<std::string> files, double imagesPerSecond,
                                           int threads, FILE* err, std::optional<int64_t> start) {
    const int64_t origin = originOf(files.front(), start);
    const auto count = static_cast<int64_t>(files.size());
    auto decode = [files = std::move(files), imagesPerSecond, origin](int64_t index) {
        RecordedInput::Item item;
        if (index >= static_cast<int64_t>(files.size())) {
            item.end = true;
            return item;
        }
        const std::string& file = files[static_cast<size_t>(index)];
        try {
            item.image = cv::imread(file, cv::IMREAD_COLOR | cv::IMREAD_ANYDEPTH);
        } catch (const cv::Exception&) {
            item.image.release();
        }
        if (item.image.empty()) item.failure = "cannot decode " + file;
        item.mediaMillis = origin + millisOf(index, imagesPerSecond);
        return item;
    };
    return std::make_unique<RecordedInput>(std::move(decode), count, threads, err);
}

// The stored bytes of the image that OpenCV decoded at this position in a
// Motion-JPEG video; packets before it (any the decoder passed over) are
// passed over too, and none is given when the times do not meet.
std::shared_ptr<const std::vector<uchar>> storedJpeg(MjpegPackets& packets,
                                                     std::optional<MjpegPackets::Packet>& pending,
                                                     double position) {
    constexpr double kSameMillis = 0.5;
    for (;;) {
        if (!pending) pending = packets.next();
        if (!pending || pending->millis > position + kSameMillis) return nullptr;
        std::optional<MjpegPackets::Packet> packet = std::exchange(pending, std::nullopt);
        if (packet->millis >= position - kSameMillis) return std::move(packet->jpeg);
    }
}

Result<std::unique_ptr<RecordedInput>> videoInput(const std::string& path, FILE* err,
                                                  std::optional<int64_t> start) {
    const int64_t origin = originOf(path, start);
    auto video = std::make_shared<cv::VideoCapture>();
    // A file that is no video is said in one line, without OpenCV's own.
    const auto level = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    try {
        video->open(path, cv::CAP_FFMPEG);
    } catch (const cv::Exception&) {
        video->release();
    }
    cv::utils::logging::setLogLevel(level);
    if (!video->isOpened()) return Failure{"cannot read video " + path};
    const double fps = video->get(cv::CAP_PROP_FPS);
    const auto frames = static_cast<int64_t>(video->get(cv::CAP_PROP_FRAME_COUNT));
    // A Motion-JPEG video's images are read a second time as they are
    // stored, so that clips and the timelapse keep them without encoding.
    auto packets = std::make_shared<MjpegPackets>();
    if (!packets->open(path)) packets.reset();
    auto pending = std::make_shared<std::optional<MjpegPackets::Packet>>();
    // One decoding thread: a video decodes in order.
    auto decode = [video, fps, origin, packets, pending](int64_t index) {
        RecordedInput::Item item;
        if (!video->read(item.image) || item.image.empty()) {
            item.end = true;
            return item;
        }
        const double position = video->get(cv::CAP_PROP_POS_MSEC);
        const bool timed = position > 0 || index == 0;
        item.mediaMillis = origin + (fps > 0 && !timed ? millisOf(index, fps)
                                                       : static_cast<int64_t>(std::llround(position)));
        if (packets && timed && item.image.type() == CV_8UC3)
            item.jpeg = storedJpeg(*packets, *pending, position);
        return item;
    };
    return std::make_unique<RecordedInput>(
        std::move(decode), frames > 0 ? std::optional<int64_t>(frames) : std::nullopt, 1, err);
}

}  // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])) != 0)
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])) != 0)
                ++endB;
            // Compare values: without leading zeros, the longer run is larger.
            const size_t startA = std::min(a.find_first_not_of('0', i), endA);
            const size_t startB = std::min(b.find_first_not_of('0', j), endB);
            const std::string valueA = a.substr(startA, endA - startA),
                              valueB = b.substr(startB, endB - startB);
            if (valueA.size() != valueB.size()) return valueA.size() < valueB.size();
            if (valueA != valueB) return valueA < valueB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;
}

std::vector<std::string> imageFilesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (isImageName(name) && entry.is_regular_file(error)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    for (std::string& name : names)
        name = (fs::path(folder) / name).string();
    return names;
}

Result<std::unique_ptr<RecordedInput>> openRecordedInput(const std::string& path, double imagesPerSecond,
                                                         int threads, FILE* err,
                                                         std::optional<int64_t> start) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
        std::vector<std::string> files = imageFilesOf(path);
        if (files.empty()) return Failure{"no images in folder " + path};
        return imagesInput(std::move(files), imagesPerSecond, threads, err, start);
    }
    const long width = sequenceFieldWidth(path);
    if (width > static_cast<long>(kWidestNumber) && !fs::exists(path, error))
        return Failure{"the number in a sequence pattern is at most 10 digits wide: " + path};
    if (width >= 0 && !fs::exists(path, error)) {
        std::vector<std::string> files = filesOfPattern(path);
        if (files.empty()) return Failure{"no images match " + path};
        return imagesInput(std::move(files), imagesPerSecond, threads, err, start);
    }
    if (!fs::exists(path, error)) return Failure{"no such file or folder: " + path};
    return videoInput(path, err, start);
}
