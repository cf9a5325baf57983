#pragma once

#include <string>

// Files queued to be sent elsewhere and not sent yet: whoever tidies the
// folders leaves them alone unless it must make room. From any thread.
class WaitingUploads {
public:
    virtual ~WaitingUploads() = default;
    virtual bool waiting(const std::string& path) const = 0;
};
