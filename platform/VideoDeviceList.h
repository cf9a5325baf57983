#pragma once

#include <string>
#include <vector>

// A video device node as the kernel describes it.
struct VideoDevice {
    int index;
    std::string path;
    std::string card;
    bool capturesImages;  // false for metadata and output-only nodes
    std::string problem;  // why it could not be asked, if it could not
};

// The /dev/videoN nodes of this machine in index order, asked through V4L2.
std::vector<VideoDevice> listVideoDevices(const std::string& folder = "/dev");

// One line per device, or "no video devices".
std::string describeVideoDevices(const std::vector<VideoDevice>& devices);
