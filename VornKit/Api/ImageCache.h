// ImageCache: the small in-memory cache of decoded images shared by the application's image
// loaders (cover art for lists, now-playing artwork). Keys are texts (usually the image URL).
//
// Bounded by a count limit and a total cost limit (the machine's physical memory / 10); when a
// write goes over either, the least recently used entries (read or written) are dropped first. A
// limit of 0 means no limit. The keyed write of the system stores an image without a cost, so
// only the count limit bounds such entries; writers that know an image's weight pass it as the
// cost (Image::byteCount()). Storing no image under a key removes the key.
//
// Every cache empties itself on Notifications::kLowMemoryWarning (posted on the default
// notification centre by the platform's memory-pressure monitor, or by the host); the shared
// instance starts that monitor.
//
// Thread rule: thread-safe. Ownership: images are shared, immutable objects; a reader keeps the
// image it got even after the cache dropped it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "VornKit/Export.h"
#include "VornKit/Platform/Coding/Image.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace vk {

/// A bounded, thread-safe cache of decoded images by key (see the file comment).
class VK_EXPORT ImageCache {
  public:
    /// A decoded image, shared and immutable.
    using ImagePtr = std::shared_ptr<const Image>;

    /// The shared cache, created on first use with a count limit of 30.
    static ImageCache& defaultCache();

    /// No count limit, cost limit = physical memory / 10; observes the low-memory warning.
    ImageCache();
    ~ImageCache();
    ImageCache(const ImageCache&) = delete;
    ImageCache& operator=(const ImageCache&) = delete;

    /// The most entries kept (0: no limit).
    std::size_t countLimit() const;
    /// Sets the most entries kept; drops the least recently used ones over it at once.
    void setCountLimit(std::size_t limit);
    /// The most total cost kept (0: no limit).
    std::uint64_t totalCostLimit() const;
    /// Sets the most total cost kept; drops the least recently used entries over it at once.
    void setTotalCostLimit(std::uint64_t limit);

    /// The image under `key` (null when there is none); counts as a use.
    ImagePtr object(const std::string& key);
    /// Stores `image` under `key` without a cost; a null image removes the key.
    void setObject(const std::string& key, ImagePtr image);
    /// Stores `image` under `key` charging `cost` against the total cost limit.
    void setObject(const std::string& key, ImagePtr image, std::uint64_t cost);
    /// Drops the entry under `key`, if any; readers keep the image they got.
    void removeObject(const std::string& key);
    /// Drops every entry.
    void removeAll();

    /// How many entries are kept now.
    std::size_t count() const;
    /// The sum of the costs of the entries kept now.
    std::uint64_t totalCost() const;

  private:
    struct Storage;
    std::shared_ptr<Storage> storage_;
    ObserverToken lowMemoryObserver_ = 0;
};

}  // namespace vk
