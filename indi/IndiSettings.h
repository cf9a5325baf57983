#pragma once

#include <string>

// An INDI server's camera, and which one.
struct IndiSettings {
    bool enabled = false;  // --indi
    std::string host = "127.0.0.1";
    int port = 7624;
    std::string camera;          // none: the first that takes exposures
    double exposureSeconds = 1;  // --exposure-s
};
