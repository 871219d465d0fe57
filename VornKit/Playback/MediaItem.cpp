#include "VornKit/Playback/MediaItem.h"

#include <atomic>
#include <chrono>
#include <filesystem>

#include <simdjson.h>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr const char* kCategory = "MediaItem";

std::atomic<std::int64_t> localPlaySessionCounter{0};

bool isWritten(std::string_view key) {
    return key != "PlaylistItemId" && key != "ItemJson";
}

/// A copy holding only what is written.
MediaItem writtenForm(const MediaItem& item) {
    MediaItem copy;
    copy.Path = item.Path;
    copy.Title = item.Title;
    copy.Artist = item.Artist;
    copy.Album = item.Album;
    copy.CoverUrl = item.CoverUrl;
    copy.ItemId = item.ItemId;
    copy.ServerId = item.ServerId;
    return copy;
}

/// Whether `path` is `directory` or lies inside it (compared by whole path components).
bool isInside(const std::string& path, const std::string& directory) {
    if (path.compare(0, directory.size(), directory) != 0)
        return false;
    return path.size() == directory.size() || directory.ends_with('/') ||
           path[directory.size()] == '/';
}

/// The elements of a JSON array that read as items, each read on its own; an element that does not
/// is logged and left out. Absent when the text is not a JSON array.
std::optional<std::vector<MediaItem>> readableElements(std::string_view json) {
    simdjson::dom::parser parser;
    simdjson::dom::array array;
    if (parser.parse(simdjson::padded_string(json)).get_array().get(array) != simdjson::SUCCESS)
        return std::nullopt;
    std::vector<MediaItem> items;
    std::size_t index = 0;
    for (simdjson::dom::element element : array) {
        auto item = element.is_object()
                        ? JsonDecoder().decode<MediaItem>(simdjson::to_string(element))
                        : CodingResult<MediaItem>(DecodingError(DecodingErrorKind::TypeMismatch, "",
                                                                "not a JSON object"));
        if (item) {
            items.push_back(std::move(item).value());
        } else {
            consoleLog(kCategory,
                       "Error deserializing itemsJson to MediaItems: element %zu skipped: %s",
                       index, item.error().description().c_str());
        }
        ++index;
    }
    return items;
}

}  // namespace

MediaItem::MediaItem(std::optional<std::string> path, std::optional<std::string> title,
                     std::optional<std::string> album, std::optional<std::string> artist,
                     std::optional<std::string> coverUrl, std::optional<std::string> serverId,
                     std::optional<std::string> itemId, std::optional<std::string> playlistItemId)
    : Path(std::move(path)),
      Title(std::move(title)),
      Album(std::move(album)),
      Artist(std::move(artist)),
      CoverUrl(std::move(coverUrl)),
      ItemId(std::move(itemId)),
      ServerId(std::move(serverId)),
      playlistItemId(std::move(playlistItemId)) {
    if (Path && Path->starts_with('/'))
        localPlaySessionId = getLocalPlaySessionId();
}

const FieldTable<MediaItem>& MediaItem::fieldTable() {
    using M = MediaItem;
    static const FieldTable<M> table(
        "MediaItem", {
                         field<&M::Path>("Path", Presence::Optional),
                         field<&M::Title>("Title", Presence::Optional),
                         field<&M::Artist>("Artist", Presence::Optional),
                         field<&M::Album>("Album", Presence::Optional),
                         field<&M::CoverUrl>("CoverUrl", Presence::Optional),
                         field<&M::ItemId>("ItemId", Presence::Optional),
                         field<&M::ServerId>("ServerId", Presence::Optional),
                         field<&M::playlistItemId>("PlaylistItemId", Presence::Optional),
                         field<&M::itemJson>("ItemJson", Presence::Optional),
                     });
    return table;
}

std::shared_ptr<MediaItem> MediaItem::initWithDictionary(const Dictionary& dictionary) {
    auto item = std::make_shared<MediaItem>();
    const auto& table = fieldTable();
    for (const auto& [key, value] : dictionary) {
        int index = table.indexOf(key);
        if (index >= 0)
            table[static_cast<std::size_t>(index)].setStoreValue(*item, StoreValue(value));
    }
    return item;
}

std::shared_ptr<MediaItem> MediaItem::initWithJson(std::string_view json) {
    auto decoded = JsonDecoder().decode<MediaItem>(json);
    if (!decoded) {
        consoleLog(kCategory, "Error deserializing MediaItem Json: %s",
                   decoded.error().description().c_str());
        return std::make_shared<MediaItem>();
    }
    return std::make_shared<MediaItem>(std::move(decoded).value());
}

std::shared_ptr<MediaItem> MediaItem::forVideo(const std::string& path, const std::string& itemId,
                                               const std::string& itemJson,
                                               const std::string& posterUrl) {
    std::optional<std::string> title;
    std::optional<std::string> serverId;
    if (auto decoded = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(itemJson);
        decoded && *decoded) {
        title = (*decoded)->Name.toOptional();
        serverId = (*decoded)->ServerId.toOptional();
    }
    auto item = std::make_shared<MediaItem>(path, title, std::nullopt, std::nullopt, posterUrl,
                                            serverId, itemId, std::nullopt);
    item->itemJson = itemJson;
    return item;
}

MediaItem::Dictionary MediaItem::toDictionary() const {
    Dictionary dictionary;
    for (const auto& field : fieldTable().fields()) {
        if (!isWritten(field.key) || !field.isPresent(*this))
            continue;
        StoreValue value = field.storeValue(*this);
        if (auto* text = std::get_if<std::string>(&value))
            dictionary.emplace_back(std::string(field.key), *text);
    }
    return dictionary;
}

std::optional<std::string> MediaItem::toJson() const {
    auto json = JsonEncoder().encode(writtenForm(*this));
    if (!json) {
        consoleLog(kCategory, "Error serializing MediaItem: Invalid JSON object");
        return std::nullopt;
    }
    return json;
}

std::vector<std::shared_ptr<MediaItem>> MediaItem::mediaItemsFromJson(std::string_view json) {
    auto decoded = JsonDecoder().decode<std::vector<MediaItem>>(json);
    if (!decoded) {
        auto readable = readableElements(json);
        if (!readable) {
            consoleLog(kCategory, "Error deserializing itemsJson to MediaItems: %s",
                       decoded.error().description().c_str());
            return {};
        }
        decoded = std::move(*readable);
    }
    std::optional<std::string> documents;
    std::vector<std::shared_ptr<MediaItem>> items;
    items.reserve(decoded.value().size());
    for (auto& value : decoded.value()) {
        auto item = std::make_shared<MediaItem>(std::move(value));
        if (item->Path && item->Path->starts_with('/')) {
            if (!documents) {
                auto directory = Directories::documents();
                documents = directory ? directory->string() : std::string();
            }
            if (!documents->empty() && !isInside(*item->Path, *documents)) {
                std::size_t start = item->Path->find_first_not_of('/');
                std::string relative =
                    start == std::string::npos ? std::string() : item->Path->substr(start);
                item->Path = (std::filesystem::path(*documents) / relative).string();
            }
            item->localPlaySessionId = getLocalPlaySessionId();
        }
        items.push_back(std::move(item));
    }
    return items;
}

std::optional<std::string> MediaItem::mediaItemsToJson(
    const std::vector<std::shared_ptr<MediaItem>>& items) {
    std::vector<MediaItem> written;
    written.reserve(items.size());
    for (const auto& item : items) {
        if (item)
            written.push_back(writtenForm(*item));
    }
    auto json = JsonEncoder().encode(written);
    if (!json) {
        consoleLog(kCategory, "Error serializing MediaItem list: Invalid JSON object");
        return std::nullopt;
    }
    return json;
}

std::string MediaItem::getLocalPlaySessionId() {
    std::int64_t expected = 0;
    if (localPlaySessionCounter.load() == 0) {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           Environment::current()->now().time_since_epoch())
                           .count();
        localPlaySessionCounter.compare_exchange_strong(expected, seconds);
    }
    return "local-" + std::to_string(localPlaySessionCounter.fetch_add(1));
}

}  // namespace vk

VK_RECORD_CODING(vk::MediaItem)
