#include "web/VideoFrames.h"

#include "core/FileNames.h"
#include "core/Json.h"
#include "platform/ProductFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

namespace {
constexpr int64_t kLargestListing = 32 << 20;
constexpr size_t kListingsKept = 64;
}  // namespace

std::shared_ptr<const VideoFrames::Listing> VideoFrames::listing(int fd, const std::string& key) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size > kLargestListing) return nullptr;
    const int64_t modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    const auto found = kept_.find(key);
    if (found != kept_.end() && found->second.size == info.st_size && found->second.modifiedNanos == modified)
        return found->second.listing;
    std::string text(static_cast<size_t>(info.st_size), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return nullptr;
    const std::optional<nlohmann::json> json = parseJson(text);
    std::optional<StoredFrames> stored = json ? storedFramesOf(*json) : std::nullopt;
    std::shared_ptr<Listing> made;
    if (stored) {
        made = std::make_shared<Listing>();
        made->times = "[";
        for (size_t i = 0; i < stored->times.size(); ++i)
            made->times += (i > 0 ? ",\"" : "\"") + utcTimeMillis(stored->times[i]) + "\"";
        made->times += "]";
        made->stored = std::move(*stored);
    }
    if (kept_.size() >= kListingsKept && kept_.count(key) == 0) kept_.clear();
    kept_[key] = {static_cast<int64_t>(info.st_size), modified, made};
    return made;
}

bool isNightName(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (const size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

std::optional<int64_t> frameNumberOf(const std::string& rest) {
    const size_t digits = rest.size() - std::min<size_t>(rest.size(), 4);
    if (digits == 0 || digits > 9 || rest.compare(digits, std::string::npos, ".jpg") != 0)
        return std::nullopt;
    for (size_t i = 0; i < digits; ++i)
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return std::nullopt;
    return std::stoll(rest.substr(0, digits));
}

std::optional<ProductFile> newestPart(const std::vector<ProductFile>& products, const std::string& kind,
                                      const std::string& night) {
    std::optional<ProductFile> newest;
    int newestPart = 0;
    const std::string first = productBase(kind, night);
    for (const ProductFile& product : products) {
        if (product.kind != kind || product.night != night) continue;
        const std::string base = product.name.substr(0, product.name.rfind('.'));
        const int part = base == first ? 1 : std::stoi(base.substr(first.size() + 1));
        if (part > newestPart) newestPart = part, newest = product;
    }
    return newest;
}

std::optional<std::string> timelapseOf(const std::string& folder, const std::string& night) {
    const std::optional<ProductFile> newest = newestPart(listProducts(folder), kTimelapse, night);
    if (!newest) return std::nullopt;
    return newest->name.substr(0, newest->name.size() - 4);  // without ".mkv"
}
