#include "platform/VideoDeviceList.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

std::vector<VideoDevice> listVideoDevices(const std::string& folder) {
    std::vector<VideoDevice> devices;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) != 0 || name.size() == 5 ||
            name.find_first_not_of("0123456789", 5) != std::string::npos)
            continue;
        VideoDevice device{std::stoi(name.substr(5)), entry.path().string(), "", false, ""};
        const int fd = open(device.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        v4l2_capability caps{};
        if (fd < 0 || ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) {
            device.problem = std::strerror(errno);
        } else {
            device.card.assign(reinterpret_cast<const char*>(caps.card),
                               strnlen(reinterpret_cast<const char*>(caps.card), sizeof caps.card));
            const uint32_t nodeCaps =
                (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
            device.capturesImages =
                (nodeCaps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
        }
        if (fd >= 0) close(fd);
        devices.push_back(device);
    }
    std::sort(devices.begin(), devices.end(),
              [](const VideoDevice& a, const VideoDevice& b) { return a.index < b.index; });
    return devices;
}

std::string describeVideoDevices(const std::vector<VideoDevice>& devices) {
    if (devices.empty()) return "no video devices\n";
    std::string text;
    for (const VideoDevice& d : devices) {
        text += std::to_string(d.index) + "  " + d.path + "  ";
        if (!d.problem.empty())
            text += "(cannot ask it: " + d.problem + ")\n";
        else
            text += d.card + "  " +
                    (d.capturesImages ? "captures images" : "no images (metadata or output)") + "\n";
    }
    return text;
}
