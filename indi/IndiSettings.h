#pragma once

#include <string>
#include <utility>
#include <vector>

// An INDI server's camera, and which one.
struct IndiSettings {
    bool enabled = false;  // --indi
    std::string host = "127.0.0.1";
    int port = 7624;
    std::string camera;          // none: the first that takes exposures
    double exposureSeconds = 1;  // --exposure-s
    // Number properties to set ("PROPERTY" for its first element, or
    // "PROPERTY.ELEMENT") before the first exposure and after each reconnect.
    std::vector<std::pair<std::string, double>> numbers;
    // For the tests only: every image the camera sent, as it came, in
    // DIR/<its time in milliseconds>.fits.
    std::string keepFitsIn;
};
