#include "platform/V4l2Controls.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// A device node opened for its controls; closed with it.
struct Node {
    int fd;
    explicit Node(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~Node() {
        if (fd >= 0) close(fd);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
};

int ioctlRetrying(int fd, unsigned long request, void* argument) {
    int result;
    while ((result = ioctl(fd, request, argument)) < 0 && errno == EINTR) {
    }
    return result;
}

// Calls each with every enabled control of the device, in the kernel's
// order, until it returns false.
template <typename Each>
void eachControl(int fd, Each each) {
    v4l2_query_ext_ctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (ioctlRetrying(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
        const v4l2_query_ext_ctrl found = query;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        if ((found.flags & V4L2_CTRL_FLAG_DISABLED) != 0 || found.type == V4L2_CTRL_TYPE_CTRL_CLASS) continue;
        if (!each(found)) return;
    }
}

const char* typeName(uint32_t type) {
    switch (type) {
        case V4L2_CTRL_TYPE_INTEGER:
            return "int";
        case V4L2_CTRL_TYPE_BOOLEAN:
            return "bool";
        case V4L2_CTRL_TYPE_MENU:
            return "menu";
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return "intmenu";
        case V4L2_CTRL_TYPE_INTEGER64:
            return "int64";
        case V4L2_CTRL_TYPE_BUTTON:
            return "button";
        case V4L2_CTRL_TYPE_BITMASK:
            return "bitmask";
        default:
            return "other";
    }
}

}  // namespace

std::string v4l2ControlName(const std::string& label) {
    std::string name;
    for (const char c : label) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0)
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

std::string v4l2DevicePath(const std::string& device) {
    if (!device.empty() && device.find_first_not_of("0123456789") == std::string::npos)
        return "/dev/video" + device;
    return device.rfind("/dev/", 0) == 0 ? device : "";
}

Result<std::vector<V4l2Control>> listV4l2Controls(const std::string& devicePath) {
    const Node node(devicePath);
    if (node.fd < 0) return Failure{devicePath + ": " + std::strerror(errno)};
    std::vector<V4l2Control> controls;
    eachControl(node.fd, [&node, &controls](const v4l2_query_ext_ctrl& query) {
        const uint32_t id = query.id;
        V4l2Control control{v4l2ControlName(query.name),
                            typeName(query.type),
                            query.minimum,
                            query.maximum,
                            static_cast<int64_t>(query.step),
                            query.default_value,
                            0,
                            {}};
        v4l2_ext_control value{};
        value.id = id;
        v4l2_ext_controls values{};
        values.which = V4L2_CTRL_WHICH_CUR_VAL;
        values.count = 1;
        values.controls = &value;
        if (ioctlRetrying(node.fd, VIDIOC_G_EXT_CTRLS, &values) == 0)
            control.value = query.type == V4L2_CTRL_TYPE_INTEGER64 ? value.value64 : value.value;
        if (query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU)
            for (int64_t index = query.minimum; index <= query.maximum; ++index) {
                v4l2_querymenu item{};
                item.id = id;
                item.index = static_cast<uint32_t>(index);
                if (ioctlRetrying(node.fd, VIDIOC_QUERYMENU, &item) != 0) continue;
                control.menu.emplace_back(index, query.type == V4L2_CTRL_TYPE_MENU
                                                     ? std::string(reinterpret_cast<const char*>(item.name))
                                                     : std::to_string(item.value));
            }
        controls.push_back(std::move(control));
        return true;
    });
    return controls;
}

std::string describeV4l2Controls(const std::vector<V4l2Control>& controls) {
    if (controls.empty()) return "no controls\n";
    std::string text;
    for (const V4l2Control& c : controls) {
        text += c.name + " (" + c.type + "): min=" + std::to_string(c.minimum) +
                " max=" + std::to_string(c.maximum) + " step=" + std::to_string(c.step) +
                " default=" + std::to_string(c.defaultValue) + " value=" + std::to_string(c.value);
        for (const auto& [index, label] : c.menu)
            text += (index == c.menu.front().first ? "  " : ", ") + std::to_string(index) + ": " + label;
        text += "\n";
    }
    return text;
}

Result<> setV4l2Control(const std::string& devicePath, const std::string& name, int64_t value) {
    if (devicePath.empty()) return Failure{"not a V4L2 device"};
    const Node node(devicePath);
    if (node.fd < 0) return Failure{devicePath + ": " + std::strerror(errno)};
    std::optional<v4l2_query_ext_ctrl> found;
    eachControl(node.fd, [&name, &found](const v4l2_query_ext_ctrl& query) {
        if (v4l2ControlName(query.name) == name) found = query;
        return !found;
    });
    if (!found) return Failure{"the camera has no such control"};
    v4l2_ext_control set{};
    set.id = found->id;
    if (found->type == V4L2_CTRL_TYPE_INTEGER64)
        set.value64 = value;
    else
        set.value = static_cast<int32_t>(value);
    v4l2_ext_controls values{};
    values.which = V4L2_CTRL_WHICH_CUR_VAL;
    values.count = 1;
    values.controls = &set;
    if (ioctlRetrying(node.fd, VIDIOC_S_EXT_CTRLS, &values) != 0) return Failure{std::strerror(errno)};
    return {};
}

std::optional<int64_t> getV4l2Control(const std::string& devicePath, const std::string& name) {
    const Result<std::vector<V4l2Control>> controls = listV4l2Controls(devicePath);
    if (!controls) return std::nullopt;
    for (const V4l2Control& control : *controls)
        if (control.name == name) return control.value;
    return std::nullopt;
}
