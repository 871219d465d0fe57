// The front-end values of a library item for in-car browsing and voice front ends, as plain
// records: ContentItem (a browsable or playable entry, whose artwork may arrive later) and
// IntentMediaItem (a voice request's media item), plus the item's cover URL and the loader that
// fills the item's in-memory picture (itemImage()).
//
// Thread rule: the functions are thread-safe. ContentItem is shared and thread-safe (its artwork
// is set from the URL session's delegate queue); IntentMediaItem is a plain value.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Coding/Image.h"
#include "VornKit/Platform/Http/Url.h"

namespace vk {

/// An entry of the in-car browsing front end.
class ContentItem {
  public:
    std::optional<std::string> identifier;  ///< mediaId() when playable, Id when a container
    /// The item's name.
    std::optional<std::string> title;
    std::optional<std::string> subtitle;  ///< the first artist
    /// Folders and artists are containers (browsed into); other items are playable, streamed from
    /// the server.
    /// @{
    bool playable = false;
    bool container = false;
    bool streamingContent = false;
    /// @}

    /// The cover, shared; null until it has arrived.
    std::shared_ptr<const Image> artwork() const;
    /// Sets the cover (from any thread, usually the URL session's delegate queue).
    void setArtwork(std::shared_ptr<const Image> image);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Image> artwork_;
};

/// The media kinds of a voice request, with the platform's raw values.
enum class IntentMediaItemType : int { unknown = 0, song = 1, album = 2, artist = 3, movie = 11 };

/// An intent image: PNG bytes, or a URL to fetch it from.
struct IntentImage {
    /// The PNG bytes, or the URL to fetch them from.
    /// @{
    std::optional<std::string> pngData;
    std::optional<Url> url;
    /// @}
};

/// A voice request's media item (a plain value).
struct IntentMediaItem {
    std::string identifier;  ///< mediaId()
    /// The item's name, what kind of item it is, and its cover.
    /// @{
    std::optional<std::string> title;
    IntentMediaItemType type = IntentMediaItemType::unknown;
    std::optional<IntentImage> artwork;
    /// @}
    std::optional<std::string> artist;  ///< the first artist
};

/// The item's decoded artwork for the front ends: held in memory only (not stored, not in JSON),
/// beside the record for as long as the record lives; absent until loadImageAsync sets it. A
/// reader on another thread sees the old or the new picture.
std::shared_ptr<const Image> itemImage(const BaseItemDto& item);
void setItemImage(const BaseItemDto& item, std::shared_ptr<const Image> image);

/// MediaSource::getImageURL with the client registered for the item's server; absent when no
/// client is registered. `manager` null: ConnectionManager::sharedInstance().
std::optional<Url> coverURL(const BaseItemDto& item,
                            std::shared_ptr<ConnectionManager> manager = nullptr);

/// Fetches `url` on defaultSession() and stores the decoded picture in `item` (absent when no
/// data came or it is no picture, replacing what was there). `completion` gets the stored
/// picture once, on the global queue (DispatchQueue::global()), where the decoding ran: pictures
/// never hold up the session's delegate queue. No failure path: every failure is absent.
void loadImageAsync(std::shared_ptr<BaseItemDto> item, const Url& url,
                    std::function<void(std::shared_ptr<const Image>)> completion);

/// The in-car entry of `item`: a container (Id, not playable) for folders and artists, a
/// playable streaming entry (mediaId) otherwise. Artwork: the item's picture; else, when the item
/// has a cover URL, the entry is returned at once and its artwork set when the picture arrives.
std::shared_ptr<ContentItem> mpContentItem(std::shared_ptr<BaseItemDto> item,
                                           std::shared_ptr<ConnectionManager> manager = nullptr);

/// The voice front end's item of `item`. Artwork: the item's picture as PNG; else the cover URL.
IntentMediaItem intentMediaItem(const BaseItemDto& item,
                                std::shared_ptr<ConnectionManager> manager = nullptr);

}  // namespace vk
