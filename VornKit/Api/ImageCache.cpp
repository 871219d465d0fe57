#include "VornKit/Api/ImageCache.h"

#include "VornKit/Platform/Runtime/MemoryPressure.h"
#include "VornKit/Platform/Runtime/ProcessInfo.h"

namespace vk {

// The entries, shared with the low-memory observer so that a warning delivered while the cache
// is being destroyed still finds live storage.
struct ImageCache::Storage {
    struct Entry {
        std::string key;
        ImagePtr image;
        std::uint64_t cost;
    };

    mutable std::mutex mutex;
    std::list<Entry> entries;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index;
    std::size_t countLimit = 0;
    std::uint64_t costLimit = 0;
    std::uint64_t totalCost = 0;

    void erase(std::list<Entry>::iterator it) {
        totalCost -= it->cost;
        index.erase(it->key);
        entries.erase(it);
    }
    void trim() {
        while (!entries.empty() && ((countLimit > 0 && entries.size() > countLimit) ||
                                    (costLimit > 0 && totalCost > costLimit))) {
            erase(std::prev(entries.end()));
        }
    }
    void clear() {
        entries.clear();
        index.clear();
        totalCost = 0;
    }
};

ImageCache& ImageCache::defaultCache() {
    static ImageCache* instance = [] {
        auto* cache = new ImageCache();
        cache->setCountLimit(30);
        MemoryPressureMonitor::shared().start();
        return cache;
    }();
    return *instance;
}

ImageCache::ImageCache() : storage_(std::make_shared<Storage>()) {
    storage_->costLimit = ProcessInfo::physicalMemory() / 10;
    lowMemoryObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Notifications::kLowMemoryWarning), nullptr, nullptr,
        [storage = storage_](const Notification&) {
            std::lock_guard lock(storage->mutex);
            storage->clear();
        });
}

ImageCache::~ImageCache() {
    NotificationCenter::defaultCenter().removeObserver(lowMemoryObserver_);
}

std::size_t ImageCache::countLimit() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->countLimit;
}

void ImageCache::setCountLimit(std::size_t limit) {
    std::lock_guard lock(storage_->mutex);
    storage_->countLimit = limit;
    storage_->trim();
}

std::uint64_t ImageCache::totalCostLimit() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->costLimit;
}

void ImageCache::setTotalCostLimit(std::uint64_t limit) {
    std::lock_guard lock(storage_->mutex);
    storage_->costLimit = limit;
    storage_->trim();
}

ImageCache::ImagePtr ImageCache::object(const std::string& key) {
    std::lock_guard lock(storage_->mutex);
    auto found = storage_->index.find(key);
    if (found == storage_->index.end())
        return nullptr;
    storage_->entries.splice(storage_->entries.begin(), storage_->entries, found->second);
    return found->second->image;
}

void ImageCache::setObject(const std::string& key, ImagePtr image) {
    setObject(key, std::move(image), 0);
}

void ImageCache::setObject(const std::string& key, ImagePtr image, std::uint64_t cost) {
    if (!image) {
        removeObject(key);
        return;
    }
    std::lock_guard lock(storage_->mutex);
    if (auto found = storage_->index.find(key); found != storage_->index.end())
        storage_->erase(found->second);
    storage_->entries.push_front({key, std::move(image), cost});
    storage_->index[key] = storage_->entries.begin();
    storage_->totalCost += cost;
    storage_->trim();
}

void ImageCache::removeObject(const std::string& key) {
    std::lock_guard lock(storage_->mutex);
    if (auto found = storage_->index.find(key); found != storage_->index.end())
        storage_->erase(found->second);
}

void ImageCache::removeAll() {
    std::lock_guard lock(storage_->mutex);
    storage_->clear();
}

std::size_t ImageCache::count() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->entries.size();
}

std::uint64_t ImageCache::totalCost() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->totalCost;
}

}  // namespace vk
