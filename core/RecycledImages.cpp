#include "core/RecycledImages.h"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

constexpr size_t kKeptBlocks = 8;

class RecyclingAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data0 != nullptr && step[i] != cv::Mat::AUTO_STEP)
                    total = step[i];
                else
                    step[i] = total;
            }
            total *= static_cast<size_t>(sizes[i]);
        }
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = data0 != nullptr ? static_cast<uchar*>(data0) : take(total);
        u->size = total;
        if (data0 != nullptr) u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }
    void deallocate(cv::UMatData* u) const override {
        if (u == nullptr) return;
        if ((u->flags & cv::UMatData::USER_ALLOCATED) == 0) giveBack(u->origdata, u->size);
        delete u;
    }

private:
    struct Block {
        uchar* data;
        size_t size;
    };
    uchar* take(size_t size) const {
        std::vector<Block> unused;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            // The block given back last first: it is the likeliest still in the processor's caches.
            for (size_t i = kept_.size(); i-- > 0;)
                if (kept_[i].size == size) {
                    uchar* data = kept_[i].data;
                    kept_.erase(kept_.begin() + static_cast<long>(i));
                    return data;
                }
            // None of this size: the kept ones are of a size no longer asked for.
            unused.swap(kept_);
        }
        for (const Block& block : unused)
            cv::fastFree(block.data);
        return static_cast<uchar*>(cv::fastMalloc(size));
    }
    void giveBack(uchar* data, size_t size) const {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (kept_.size() < kKeptBlocks) return kept_.push_back({data, size});
        }
        cv::fastFree(data);
    }
    mutable std::mutex mutex_;
    mutable std::vector<Block> kept_;
};

}  // namespace

cv::MatAllocator* recycledImages() {
    static auto* allocator = new RecyclingAllocator;  // never freed: images may outlive any owner
    return allocator;
}
