#include "products/ProductFiles.h"

#include <algorithm>
#include <filesystem>
#include <regex>

namespace {

const std::regex& productName() {
    static const std::regex name(
        R"((keogram|keogram-panorama|timelapse)-([0-9]{4}-[0-9]{2}-[0-9]{2})(-[0-9]{1,4})?\.(png|json|mkv))");
    return name;
}

}  // namespace

bool isProductName(const std::string& name) {
    std::smatch match;
    return std::regex_match(name, match, productName()) && (match[4] == "mkv") == (match[1] == "timelapse");
}

std::vector<ProductFile> listProducts(const std::string& folder) {
    std::vector<ProductFile> products;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (!isProductName(name) || !std::regex_match(name, match, productName()) || match[4] == "json" ||
            !entry.is_regular_file(error))
            continue;
        products.push_back({name, match[1], match[2], static_cast<int64_t>(entry.file_size(error))});
    }
    std::sort(products.begin(), products.end(), [](const ProductFile& a, const ProductFile& b) {
        return a.night != b.night ? a.night > b.night : a.name < b.name;
    });
    return products;
}
