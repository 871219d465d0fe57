// MediaItem: one entry of a player's play queue: the path or stream URL the player opens, the
// display strings that go with it, and the ids that tie it to a library item on a server. Players
// hand it out (currentMediaItem, getItemAtPosition), the event bridge reads its ids for playback
// reports, the watch link carries queues of it as JSON.
//
// JSON: reading takes "Path", "Title", "Artist", "Album", "CoverUrl", "ItemId", "ServerId",
// "PlaylistItemId" and "ItemJson" (all texts, absent and null alike, unknown keys ignored);
// writing gives the first seven only, compact, each left out when absent. playlistItemId,
// itemJson, localPlaySessionId and CoverArt are never written.
//
// Items of local files get a local play-session id ("local-<n>", see getLocalPlaySessionId).
// Items read as a list (mediaItemsFromJson) whose Path begins with "/" are files of the documents
// directory: the path is taken relative to it.
//
// Failures are logged to the console log (category "MediaItem") and give an empty result; nothing
// is thrown.
//
// Thread rule: an object with identity (players compare items by object), held in
// std::shared_ptr; externally synchronised (treat an item handed to a player as read-only). The
// static operations are thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Platform/Coding/Image.h"

namespace vk {

/// One play-queue entry (see the file comment); shared, externally synchronised.
class VK_EXPORT MediaItem {
  public:
    /// The written form of an item: the present ones of the seven written properties, as
    /// (key, value) in writing order. Reading takes the nine keys in any order.
    using Dictionary = std::vector<std::pair<std::string, std::string>>;

    /// An item whose properties are all absent.
    MediaItem() = default;
    /// Stores the eight values. A path beginning with "/" (a local file) also gets a fresh
    /// localPlaySessionId.
    MediaItem(std::optional<std::string> path, std::optional<std::string> title,
              std::optional<std::string> album, std::optional<std::string> artist,
              std::optional<std::string> coverUrl, std::optional<std::string> serverId,
              std::optional<std::string> itemId, std::optional<std::string> playlistItemId);

    /// The entry's fields, named as their JSON keys (see the top of this file): the path or URL the
    /// player opens, the display texts, the cover's URL, the library item and server ids, and the
    /// item's place in the server's play queue.
    /// @{
    std::optional<std::string> Path;
    std::optional<std::string> Title;
    std::optional<std::string> Album;
    std::optional<std::string> Artist;
    std::optional<std::string> CoverUrl;
    std::optional<std::string> ItemId;
    std::optional<std::string> ServerId;
    std::optional<std::string> playlistItemId;
    /// @}
    /// "local-<n>" for items played from a local file.
    std::optional<std::string> localPlaySessionId;
    /// The library item's JSON text as the server sent it (supplied by the web user interface).
    std::optional<std::string> itemJson;
    /// Decoded cover, in memory only.
    std::shared_ptr<const Image> CoverArt;

    /// An item from the keys of `dictionary` (the nine readable keys; others are ignored). No
    /// session id is assigned.
    static std::shared_ptr<MediaItem> initWithDictionary(const Dictionary& dictionary);
    /// An item from a JSON object. On bad JSON logs "Error deserializing MediaItem Json: <error>"
    /// and gives an item whose properties are all absent. Never null.
    static std::shared_ptr<MediaItem> initWithJson(std::string_view json);
    /// The one item a video play request names: its path, poster and id as given, its title and
    /// server from the library item's JSON (`itemJson`, kept on the item); absent where that JSON
    /// does not say. Never null.
    static std::shared_ptr<MediaItem> forVideo(const std::string& path, const std::string& itemId,
                                               const std::string& itemJson,
                                               const std::string& posterUrl);
    /// The present written fields as key-text pairs, in JSON key order (what toJson() writes).
    Dictionary toDictionary() const;
    /// The item's JSON text (the seven written keys), or absent after a logged failure.
    std::optional<std::string> toJson() const;

    /// The items of a JSON array, in order; an empty list when the text is not a JSON array
    /// (logged as "Error deserializing itemsJson to MediaItems: <error>"). An element that cannot
    /// be read as an item (not an object, a value of the wrong type) is left out and logged alone
    /// ("... element <index> skipped: <error>"); the others are kept. See the documents-directory
    /// rule above; every item with a local path gets a fresh localPlaySessionId.
    static std::vector<std::shared_ptr<MediaItem>> mediaItemsFromJson(std::string_view json);
    /// The JSON array of the items (null entries are skipped), or absent after a logged failure.
    static std::optional<std::string> mediaItemsToJson(
        const std::vector<std::shared_ptr<MediaItem>>& items);
    /// The next local play-session id: "local-<n>", where n starts at the current time in whole
    /// seconds since 1970 and grows by one per call in this process.
    static std::string getLocalPlaySessionId();

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<MediaItem>& fieldTable();
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::MediaItem)
