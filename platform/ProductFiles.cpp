#include "platform/ProductFiles.h"

#include "platform/Files.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

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
