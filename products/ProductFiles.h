#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The night products in a folder: "keogram-2026-12-07.png",
// "keogram-panorama-2026-12-07-2.png", "timelapse-2026-12-07.mkv", ...
struct ProductFile {
    std::string name;
    std::string kind;   // "keogram", "keogram-panorama" or "timelapse"
    std::string night;  // "2026-12-07"
    int64_t bytes;
};

// Newest night first.
std::vector<ProductFile> listProducts(const std::string& folder);

// Whether a name is a product's (and so may be served by it).
bool isProductName(const std::string& name);
