#include "VornKit/Browse/FrontEndItem.h"

#include <map>
#include <utility>

#include "VornKit/Browse/MediaSource.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Http/UrlRequest.h"
#include "VornKit/Platform/Http/UrlSession.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {

std::string lowered(const Text& text) {
    std::string out(text.view());
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::optional<std::string> firstArtist(const BaseItemDto& item) {
    if (!item.Artists || item.Artists->empty())
        return std::nullopt;
    return item.Artists->front().toOptional();
}

/// The pictures of live records, keyed by record; entries of records that are gone are dropped
/// when a picture is set.
struct ImageTable {
    std::mutex mutex;
    std::map<const BaseItemDto*,
             std::pair<std::weak_ptr<const ManagedObject>, std::shared_ptr<const Image>>>
        images;
};

ImageTable& imageTable() {
    static auto* table = new ImageTable;
    return *table;
}

}  // namespace

std::shared_ptr<const Image> itemImage(const BaseItemDto& item) {
    auto& table = imageTable();
    std::lock_guard lock(table.mutex);
    auto found = table.images.find(&item);
    if (found == table.images.end() || found->second.first.expired())
        return nullptr;
    return found->second.second;
}

void setItemImage(const BaseItemDto& item, std::shared_ptr<const Image> image) {
    auto& table = imageTable();
    std::lock_guard lock(table.mutex);
    for (auto it = table.images.begin(); it != table.images.end();) {
        it = it->second.first.expired() ? table.images.erase(it) : std::next(it);
    }
    table.images[&item] = {item.weak_from_this(), std::move(image)};
}

std::shared_ptr<const Image> ContentItem::artwork() const {
    std::lock_guard lock(mutex_);
    return artwork_;
}

void ContentItem::setArtwork(std::shared_ptr<const Image> image) {
    std::lock_guard lock(mutex_);
    artwork_ = std::move(image);
}

std::optional<Url> coverURL(const BaseItemDto& item, std::shared_ptr<ConnectionManager> manager) {
    if (!manager)
        manager = ConnectionManager::sharedInstance();
    auto client = manager->getApiClient(std::string(item.ServerId.view()));
    if (!client)
        return std::nullopt;
    return MediaSource::getImageURL(*client, item);
}

void loadImageAsync(std::shared_ptr<BaseItemDto> item, const Url& url,
                    std::function<void(std::shared_ptr<const Image>)> completion) {
    auto task = defaultSession()->dataTask(
        UrlRequest(url),
        [item, completion = std::move(completion)](
            std::optional<std::string> data, std::optional<UrlResponse>, std::optional<UrlError>) {
            // Decoding (and what the completion does with the picture) takes milliseconds: off
            // the session's delegate queue, where other requests' answers wait their turn.
            DispatchQueue::global()->async(
                [item, completion = std::move(completion), data = std::move(data)] {
                    std::shared_ptr<const Image> image;
                    if (data) {
                        if (auto decoded = Image::decode(*data))
                            image = std::make_shared<const Image>(std::move(*decoded));
                    }
                    setItemImage(*item, image);
                    completion(itemImage(*item));
                });
        });
    task->resume();
}

std::shared_ptr<ContentItem> mpContentItem(std::shared_ptr<BaseItemDto> item,
                                           std::shared_ptr<ConnectionManager> manager) {
    auto entry = std::make_shared<ContentItem>();
    const bool isContainer = item->IsFolder || lowered(item->Type) == "musicartist";
    if (isContainer) {
        entry->identifier = item->Id.toOptional();
        entry->container = true;
        entry->playable = false;
    } else {
        entry->identifier = item->mediaId();
        entry->playable = true;
        entry->container = false;
        entry->streamingContent = true;
    }
    entry->title = item->Name.toOptional();
    entry->subtitle = firstArtist(*item);
    if (auto image = itemImage(*item)) {
        entry->setArtwork(std::move(image));
    } else if (auto url = coverURL(*item, std::move(manager))) {
        loadImageAsync(item, *url, [entry](std::shared_ptr<const Image> image) {
            if (image)
                entry->setArtwork(std::move(image));
        });
    }
    return entry;
}

IntentMediaItem intentMediaItem(const BaseItemDto& item,
                                std::shared_ptr<ConnectionManager> manager) {
    IntentMediaItem out;
    std::optional<std::string> png;
    if (auto image = itemImage(item))
        png = image->pngData();
    if (png) {
        out.artwork = IntentImage{std::move(png), std::nullopt};
    } else if (auto url = coverURL(item, std::move(manager))) {
        out.artwork = IntentImage{std::nullopt, std::move(url)};
    }
    const std::string type = lowered(item.Type);
    if (type == "audio")
        out.type = IntentMediaItemType::song;
    else if (type == "musicalbum")
        out.type = IntentMediaItemType::album;
    else if (type == "artist" || type == "musicartist")
        out.type = IntentMediaItemType::artist;
    else if (type == "movie" || type == "video")
        out.type = IntentMediaItemType::movie;
    out.identifier = item.mediaId();
    out.title = item.Name.toOptional();
    out.artist = firstArtist(item);
    return out;
}

}  // namespace vk
