#pragma once

#include "core/Result.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVStream;

// A Motion-JPEG video made of images that are JPEGs already, muxed as they
// are (libavformat), without decoding them again: an AVI, or a Matroska file
// written as a live stream, which stays readable up to its last flush
// however the process ends.
class MjpegVideo {
public:
    enum class Container { avi, matroska };
    MjpegVideo() = default;
    ~MjpegVideo();
    MjpegVideo(const MjpegVideo&) = delete;
    MjpegVideo& operator=(const MjpegVideo&) = delete;

    // Declares the images' size and rate (images per second, at least 1).
    Result<> open(const std::string& path, cv::Size size, int fps, Container container = Container::avi);
    Result<> add(const std::vector<uchar>& jpeg);
    // Puts what was added so far into the file and the file on disk.
    Result<> flush();
    // Writes the index and closes the file, flushed to disk.
    Result<> close();
    // Closes the file as it is, without an index.
    void drop();
    // The file was renamed while open: flushes find it there.
    void movedTo(const std::string& path) { path_ = path; }
    // Where each image's JPEG bytes are in the file, in the order they were
    // added, for those a flush or the close has put on disk: a reader takes
    // an image out as it is stored without parsing the container.
    struct Stored {
        int64_t offset = 0;
        int64_t size = 0;
    };
    const std::vector<Stored>& stored() const { return stored_; }

private:
    void findStored();

    std::string path_;
    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    int fps_ = 1;
    int64_t images_ = 0;
    struct Added {
        int64_t size;
        size_t hash;
    };
    std::vector<Added> unfound_;  // added, not yet found in the file
    std::vector<Stored> stored_;
    int64_t searchedTo_ = 0;  // the end of the last image found
};

// The images of a Motion-JPEG video as they are stored: each one's JPEG bytes
// and its time in the video (as OpenCV's position gives it), without decoding.
class MjpegPackets {
public:
    struct Packet {
        std::shared_ptr<const std::vector<uchar>> jpeg;
        double millis = 0;
    };
    MjpegPackets() = default;
    ~MjpegPackets();
    MjpegPackets(const MjpegPackets&) = delete;
    MjpegPackets& operator=(const MjpegPackets&) = delete;

    // Fails unless the file's first video stream is Motion-JPEG with times.
    Result<> open(const std::string& path);
    // The next image's bytes; none at the end.
    std::optional<Packet> next();

private:
    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
};
