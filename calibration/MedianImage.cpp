#include "calibration/MedianImage.h"

#include "core/EightBits.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

MedianImage::~MedianImage() {
    if (fd_ >= 0) close(fd_);
}

Result<> MedianImage::add(const cv::Mat& image) {
    if (count_ == 0) {
        // Unnamed: gone with the process, however it ends.
        fd_ = open(folder_.empty() ? "." : folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0) return Failure{"cannot keep images in " + folder_ + ": " + std::strerror(errno)};
        size_ = image.size();
        type_ = image.type();
    } else if (image.size() != size_ || image.type() != type_) {
        return Failure{"an image of " + describeImage(image.size(), image.type()) + " among images of " +
                       describeImage(size_, type_)};
    }
    // Whole when it is continuous, else a row at a time.
    const int runs = image.isContinuous() ? 1 : image.rows;
    const size_t runBytes = image.total() * image.elemSize() / static_cast<size_t>(runs);
    for (int y = 0; y < runs; ++y) {
        const auto* run = image.ptr<const char>(y);
        for (size_t done = 0; done < runBytes;) {
            const ssize_t wrote = write(fd_, run + done, runBytes - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return Failure{"cannot keep images in " + folder_ + ": " + std::strerror(errno)};
            done += static_cast<size_t>(wrote);
        }
    }
    ++count_;
    return {};
}

template <typename T>
Result<> MedianImage::medianOf(cv::Mat& out) const {
    const size_t rowElements = static_cast<size_t>(size_.width) * CV_MAT_CN(type_);
    const size_t rowBytes = rowElements * sizeof(T),
                 imageBytes = rowBytes * static_cast<size_t>(size_.height);
    const size_t images = static_cast<size_t>(count_);
    const int bandRows = static_cast<int>(
        std::clamp<size_t>(memoryBytes_ / (rowBytes * images), 1, static_cast<size_t>(size_.height)));
    std::vector<T> band(static_cast<size_t>(bandRows) * rowElements * images), values(images);
    for (int top = 0; top < size_.height; top += bandRows) {
        const int rows = std::min(bandRows, size_.height - top);
        const size_t bytes = static_cast<size_t>(rows) * rowBytes;
        for (size_t i = 0; i < images; ++i) {
            char* into =
                reinterpret_cast<char*>(band.data() + i * static_cast<size_t>(bandRows) * rowElements);
            const off_t at = static_cast<off_t>(i * imageBytes + static_cast<size_t>(top) * rowBytes);
            for (size_t done = 0; done < bytes;) {
                const ssize_t got = pread(fd_, into + done, bytes - done, at + static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0)
                    return Failure{std::string("cannot read the images kept: ") + std::strerror(errno)};
                done += static_cast<size_t>(got);
            }
        }
        for (int y = 0; y < rows; ++y) {
            T* target = out.ptr<T>(top + y);
            for (size_t e = 0; e < rowElements; ++e) {
                const size_t offset = static_cast<size_t>(y) * rowElements + e;
                for (size_t i = 0; i < images; ++i)
                    values[i] = band[i * static_cast<size_t>(bandRows) * rowElements + offset];
                const auto middle = values.begin() + static_cast<long>(images / 2);
                std::nth_element(values.begin(), middle, values.end());
                if (images % 2 == 1) {
                    target[e] = *middle;
                } else {
                    const T below = *std::max_element(values.begin(), middle);
                    target[e] = static_cast<T>((static_cast<unsigned>(below) + *middle + 1) / 2);
                }
            }
        }
    }
    return {};
}

Result<cv::Mat> MedianImage::median() const {
    if (count_ == 0) return Failure{"no images"};
    cv::Mat out(size_, type_);
    const Result<> made = CV_MAT_DEPTH(type_) == CV_16U ? medianOf<uint16_t>(out)
                          : CV_MAT_DEPTH(type_) == CV_8U
                              ? medianOf<uint8_t>(out)
                              : Result<>(Failure{"images of " + describeImageType(type_)});
    if (!made) return Failure{made.reason()};
    return out;
}
