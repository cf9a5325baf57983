#include "platform/MjpegVideo.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace {

std::string describe(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace

MjpegVideo::~MjpegVideo() { drop(); }

void MjpegVideo::drop() {
    if (context_ == nullptr) return;
    if (context_->pb != nullptr) avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
    stream_ = nullptr;
}

Result<> MjpegVideo::open(const std::string& path, cv::Size size, int fps, Container container) {
    drop();
    path_ = path;
    fps_ = std::max(1, fps);
    images_ = 0;
    unfound_.clear();
    stored_.clear();
    searchedTo_ = 0;
    const char* format = container == Container::avi ? "avi" : "matroska";
    int error = avformat_alloc_output_context2(&context_, nullptr, format, path.c_str());
    if (error < 0 || context_ == nullptr) return Failure{describe(error)};
    context_->flags |= AVFMT_FLAG_BITEXACT;  // no muxing date: the same images make the same file
    stream_ = avformat_new_stream(context_, nullptr);
    if (stream_ == nullptr) return drop(), Failure{"cannot add a video stream"};
    AVCodecParameters* codec = stream_->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = AV_CODEC_ID_MJPEG;
    codec->codec_tag = MKTAG('M', 'J', 'P', 'G');
    codec->width = size.width;
    codec->height = size.height;
    codec->format = AV_PIX_FMT_YUVJ420P;
    stream_->time_base = {1, fps_};
    stream_->avg_frame_rate = {fps_, 1};
    if ((error = avio_open(&context_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
        return drop(), Failure{describe(error)};
    AVDictionary* options = nullptr;
    if (container == Container::matroska) {
        // No index at the end to wait for: every cluster stands alone.
        av_dict_set(&options, "live", "1", 0);
        av_dict_set(&options, "cluster_time_limit", "1000", 0);
    }
    error = avformat_write_header(context_, &options);
    av_dict_free(&options);
    if (error < 0) return drop(), Failure{describe(error)};
    return {};
}

Result<> MjpegVideo::add(const std::vector<uchar>& jpeg) {
    if (context_ == nullptr) return Failure{"not open"};
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return Failure{"out of memory"};
    packet->data = const_cast<uint8_t*>(jpeg.data());
    packet->size = static_cast<int>(jpeg.size());
    packet->stream_index = stream_->index;
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->pts = packet->dts = av_rescale_q(images_++, AVRational{1, fps_}, stream_->time_base);
    packet->duration = av_rescale_q(1, AVRational{1, fps_}, stream_->time_base);
    const int error = av_write_frame(context_, packet);
    av_packet_free(&packet);
    if (error < 0) return Failure{describe(error)};
    unfound_.push_back(
        {static_cast<int64_t>(jpeg.size()),
         std::hash<std::string_view>{}({reinterpret_cast<const char*>(jpeg.data()), jpeg.size()})});
    return {};
}

// Each image added is in the file as it was given, after the previous one,
// with only the container's few bytes between: its start is the first JPEG
// start after the previous image whose bytes are the image's. What the muxer
// still holds is found at a later flush.
void MjpegVideo::findStored() {
    if (unfound_.empty()) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    constexpr int64_t kBetween = 1 << 16;  // container bytes looked through before an image
    std::vector<char> near(kBetween), bytes;
    size_t found = 0;
    for (; found < unfound_.size(); ++found) {
        const Added& image = unfound_[found];
        const ssize_t got = pread(fd, near.data(), near.size(), searchedTo_);
        if (got < 3) break;
        bool placed = false;
        for (ssize_t at = 0; at + 2 < got && !placed; ++at) {
            if (static_cast<unsigned char>(near[at]) != 0xFF ||
                static_cast<unsigned char>(near[at + 1]) != 0xD8 ||
                static_cast<unsigned char>(near[at + 2]) != 0xFF)
                continue;
            bytes.resize(static_cast<size_t>(image.size));
            if (pread(fd, bytes.data(), bytes.size(), searchedTo_ + at) != image.size ||
                std::hash<std::string_view>{}({bytes.data(), bytes.size()}) != image.hash)
                continue;
            stored_.push_back({searchedTo_ + at, image.size});
            searchedTo_ += at + image.size;
            placed = true;
        }
        if (!placed) break;
    }
    ::close(fd);
    unfound_.erase(unfound_.begin(), unfound_.begin() + static_cast<std::ptrdiff_t>(found));
}

Result<> MjpegVideo::flush() {
    if (context_ == nullptr) return Failure{"not open"};
    // An empty packet makes the muxer close its cluster and write it out.
    int error = av_write_frame(context_, nullptr);
    avio_flush(context_->pb);
    if (error >= 0 && context_->pb->error < 0) error = context_->pb->error;  // a full disk, say
    if (error < 0) return Failure{describe(error)};
    findStored();
    return flushToDisk(path_);
}

Result<> MjpegVideo::close() {
    if (context_ == nullptr) return Failure{"not open"};
    int error = av_write_trailer(context_);
    if (error >= 0) error = avio_closep(&context_->pb);
    drop();
    if (error < 0) return Failure{describe(error)};
    findStored();
    return flushToDisk(path_);  // before it is renamed into place
}

MjpegPackets::~MjpegPackets() {
    if (context_ != nullptr) avformat_close_input(&context_);
}

Result<> MjpegPackets::open(const std::string& path) {
    int error = avformat_open_input(&context_, path.c_str(), nullptr, nullptr);
    if (error < 0) return Failure{describe(error)};
    if ((error = avformat_find_stream_info(context_, nullptr)) < 0) return Failure{describe(error)};
    const int index = av_find_best_stream(context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return Failure{"no video stream"};
    stream_ = context_->streams[index];
    if (stream_->codecpar->codec_id != AV_CODEC_ID_MJPEG) return Failure{"not Motion-JPEG"};
    return {};
}

std::optional<MjpegPackets::Packet> MjpegPackets::next() {
    if (stream_ == nullptr) return std::nullopt;
    AVPacket* packet = av_packet_alloc();
    std::optional<Packet> found;
    while (!found && av_read_frame(context_, packet) >= 0) {
        const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (packet->stream_index == stream_->index && pts != AV_NOPTS_VALUE && packet->size > 0) {
            // As OpenCV counts a position: from the stream's start.
            const int64_t start = stream_->start_time != AV_NOPTS_VALUE ? stream_->start_time : 0;
            found =
                Packet{std::make_shared<const std::vector<uchar>>(packet->data, packet->data + packet->size),
                       static_cast<double>(pts - start) * av_q2d(stream_->time_base) * 1000.0};
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return found;
}
