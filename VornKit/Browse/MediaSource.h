// MediaSource: the entry point of music browsing and search for front ends (in-car browsing,
// voice requests, the desktop search provider, vornctl). It picks an API client from a
// ConnectionManager, fills a table of query parameters and runs one library query, handing back
// plain lists of items or a GetItemsResponse. It also chooses the artwork URL of an item.
//
// A client is usable for the server-id operations when it is registered and has an access token
// that is not empty; for an unusable one they answer the empty list at once, without a request
// and without logging.
//
// Completions are called exactly once. They run on the shared URL session's delegate queue
// (defaultSession()), except the immediate ones (no usable client, absent search text, no URL),
// which run on the calling thread before the operation returns. getUserViews continues on the
// main queue after address resolution; its completion comes from the session's queue when the
// views are fetched, or from the main queue when resolution fails.
//
// Thread rule: thread-safe; the object has no state of its own besides the manager it reads.
// Ownership: returned clients and items are shared with the caller.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Platform/Http/Url.h"

namespace vk {

/// Music browsing and search over the clients of a ConnectionManager; cheap to copy and to make.
class MediaSource {
  public:
    /// The client's parameter and item-list types.
    /// @{
    using QueryParams = ApiClient::QueryParams;
    using ItemList = ApiClient::ItemList;
    /// @}
    /// Gets the items found (empty on failure); called exactly once.
    using ListCompletion = std::function<void(ItemList)>;
    /// Gets the server's answer, or nothing on failure; called exactly once.
    using ResponseCompletion = std::function<void(std::optional<GetItemsResponse>)>;

    /// Types excluded from every children listing (replaces any caller value).
    static constexpr const char* kExcludedChildTypes =
        "Movie,Series,Season,Episode,Trailer,Video,Game,Photo,PhotoAlbum,LiveTvProgram,"
        "LiveTvChannel,Channel";
    /// The item types of a search when the caller names none.
    static constexpr const char* kDefaultSearchTypes = "Audio,Video,Movie";

    /// Works on ConnectionManager::sharedInstance() (created on first use of an operation).
    MediaSource() = default;
    /// Works on `manager` (tools and tests that keep a manager of their own).
    explicit MediaSource(std::shared_ptr<ConnectionManager> manager);

    /// The picture chosen to stand for an item (see chooseImage()).
    struct ImageChoice {
        /// The id of the item the picture belongs to (the item itself or its album), the
        /// picture's type and its tag (the server's version of the picture), when it has one.
        /// @{
        std::string itemId;
        ImageType type = ImageType::Primary;
        std::optional<std::string> tag;
        /// @}
    };
    /// The picture of `item`, first match: its own Primary image, the album's Primary image
    /// (AlbumId and AlbumPrimaryImageTag both present), Thumb, Logo, Art, Banner; absent when
    /// none applies.
    static std::optional<ImageChoice> chooseImage(const BaseItemDto& item);
    /// The artwork URL of chooseImage(); absent when there is no picture or the client has no
    /// address. MaxWidth `maxWidth` (400 for the front ends' artwork), no Quality, the tag, and
    /// "api_key" = the client's token (empty text without one).
    static std::optional<Url> getImageURL(ApiClient& apiClient, const BaseItemDto& item,
                                          int maxWidth = 400);

    /// Every client, most recently accessed server first (never accessed last); starts an address
    /// resolution for each client without an address, on every call. The clients stay listed.
    std::vector<std::shared_ptr<ApiClient>> getServerList();
    /// The manager's client of `serverId` (shared), or null when none is registered.
    std::shared_ptr<ApiClient> getApiClient(const std::string& serverId);

    /// The user's views, after resolving the server's address.
    void getUserViews(const std::string& serverId, ListCompletion completion);
    /// The children of `parentId` (all items without one). `options` empty: sorted by name,
    /// ascending; otherwise sent as given. Video and other non-music types are excluded.
    void getChildren(const std::string& serverId, std::optional<std::string> parentId,
                     QueryParams options, ListCompletion completion);
    /// 50 random items of `type`; the answer passes through unchanged (no usability check;
    /// a null client answers absent at once).
    void getRandomItems(std::shared_ptr<ApiClient> apiClient, const std::string& type,
                        ResponseCompletion completion);
    /// The 24 songs and albums added last. A failed request answers the empty list.
    void getLatestMusic(const std::string& serverId, ListCompletion completion);
    /// Played music, the last played first. A failed request answers the empty list.
    void getRecentlyPlayedMusic(const std::string& serverId, ListCompletion completion);
    /// Played music, the most played first. A failed request answers the empty list.
    void getFrequentlyPlayedMusic(const std::string& serverId, ListCompletion completion);
    /// The user's favourite artists by name. A failed request answers the empty list.
    void getFavoriteArtists(const std::string& serverId, ListCompletion completion);
    /// The user's favourite songs in random order. A failed request answers the empty list.
    void getFavoriteSongs(const std::string& serverId, ListCompletion completion);
    /// The user's favourite albums in random order. A failed request answers the empty list.
    void getFavoriteAlbums(const std::string& serverId, ListCompletion completion);

    /// Items, albums and artists matching `searchName`, searched at once; one answer after the
    /// third search has finished, holding each search's items in the order the searches finished
    /// and TotalRecordCount = their number. Failed searches add nothing (all failed: an empty
    /// answer, not absent). Absent search text (or a null client): absent at once.
    void searchForAll(std::shared_ptr<ApiClient> apiClient, std::optional<std::string> searchName,
                      ResponseCompletion completion);
    /// Up to 16 items named like `title` of `types` (none: Audio, Video, Movie).
    void searchForItems(std::shared_ptr<ApiClient> apiClient, std::optional<std::string> title,
                        const std::vector<std::string>& types, ResponseCompletion completion);
    /// The first artist named like `artist`.
    void searchForArtist(std::shared_ptr<ApiClient> apiClient, std::optional<std::string> artist,
                         ResponseCompletion completion);
    /// Up to 16 albums named like `album`.
    void searchForAlbum(std::shared_ptr<ApiClient> apiClient, std::optional<std::string> album,
                        ResponseCompletion completion);

    // The parameter tables, as the operations send them (also for callers that build their own
    // requests, such as the desktop search provider).
    /// Up to 16 items of `types` (none: kDefaultSearchTypes) matching `title`.
    static QueryParams searchItemsParams(const std::string& title,
                                         const std::vector<std::string>& types);
    /// Up to 16 albums matching `album`.
    static QueryParams searchAlbumParams(const std::string& album);
    /// The first artist matching `artist` (for the artists path).
    static QueryParams searchArtistParams(const std::string& artist);

  private:
    std::shared_ptr<ConnectionManager> manager();
    /// The registered client with a non-empty token, or null.
    std::shared_ptr<ApiClient> usableClient(const std::string& serverId);
    /// The music items query: `params` with the music defaults, on the items path.
    void musicItems(const std::string& serverId, QueryParams params, ListCompletion completion);

    std::shared_ptr<ConnectionManager> manager_;
};

}  // namespace vk
