#pragma once

#include <cstdint>
#include <optional>
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

// A product's file by its name (bytes left 0); none for other names. Its
// sidecar (".json") is a product's file too, of the same kind and night.
std::optional<ProductFile> productOf(const std::string& name);

// Whether a name is a product's (and so may be served by it).
bool isProductName(const std::string& name);
