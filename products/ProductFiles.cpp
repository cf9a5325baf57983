#include "products/ProductFiles.h"

#include "core/BoundedMatch.h"
#include "platform/Files.h"

#include <sys/stat.h>

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

std::optional<ProductFile> productOf(const std::string& name) {
    std::smatch match;
    if (!boundedMatch(name, match, productName()) || (match[4] == "mkv") != (match[1] == "timelapse"))
        return std::nullopt;
    return ProductFile{name, match[1], match[2], 0};
}

bool isProductName(const std::string& name) { return productOf(name).has_value(); }

std::vector<ProductFile> listProducts(const std::string& folder) {
    std::vector<ProductFile> products;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        std::optional<ProductFile> product = productOf(name);
        // Only what the web view serves: no link to a file elsewhere.
        struct stat info {};
        if (!product || name.size() < 5 || name.compare(name.size() - 5, 5, ".json") == 0 ||
            lstat(entry.path().c_str(), &info) != 0 || !isOwnFile(info))
            continue;
        product->bytes = static_cast<int64_t>(info.st_size);
        products.push_back(*product);
    }
    std::sort(products.begin(), products.end(), [](const ProductFile& a, const ProductFile& b) {
        return a.night != b.night ? a.night > b.night : a.name < b.name;
    });
    return products;
}
