#include "VornKit/Browse/MediaSource.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr std::chrono::seconds kRequestTimeout{60};

/// The invalid-url lines belong to the client's log category.
const Logger& clientLogger() {
    static const auto* instance = new Logger("ApiClient");
    return *instance;
}

/// "Users/<user>/Items", or "Items" for a client without a user id.
std::string itemsPath(ApiClient& client) {
    if (auto user = client.currentUserId())
        return "Users/" + ApiClient::pathSegment(*user) + "/Items";
    return "Items";
}

/// GETs `path` with `params` and decodes a GetItemsResponse. Without a URL: logs
/// "Error: <operation> invalid url" and answers absent at once on this thread.
void fetchItems(ApiClient& client, const char* operation, const std::string& path,
                const MediaSource::QueryParams& params,
                std::function<void(std::optional<GetItemsResponse>)> completion) {
    auto url = client.getUrl(path, params);
    if (!url) {
        clientLogger().log(std::string("Error: ") + operation + " invalid url");
        completion(std::nullopt);
        return;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kRequestTimeout);
    client.fetchContent<GetItemsResponse>(std::move(request), JsonDecoder(), nullptr,
                                          std::move(completion));
}

/// A list completion fed from an items answer (its Items, or the empty list).
std::function<void(std::optional<GetItemsResponse>)> itemsOf(MediaSource::ListCompletion done) {
    return [done = std::move(done)](std::optional<GetItemsResponse> answer) {
        done(answer ? std::move(answer->Items) : MediaSource::ItemList{});
    };
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty())
            out += ',';
        out += part;
    }
    return out;
}

/// Adds "Limit" = "24" and "IncludeItemTypes" = "Audio" where the table has none.
void applyMusicDefaults(MediaSource::QueryParams& params) {
    params.try_emplace("Limit", "24");
    params.try_emplace("IncludeItemTypes", "Audio");
}

}  // namespace

MediaSource::MediaSource(std::shared_ptr<ConnectionManager> manager)
    : manager_(std::move(manager)) {}

std::shared_ptr<ConnectionManager> MediaSource::manager() {
    return manager_ ? manager_ : ConnectionManager::sharedInstance();
}

std::shared_ptr<ApiClient> MediaSource::usableClient(const std::string& serverId) {
    auto client = manager()->getApiClient(serverId);
    if (!client || !client->getServerCredentials())
        return nullptr;
    return client;
}

std::optional<MediaSource::ImageChoice> MediaSource::chooseImage(const BaseItemDto& item) {
    if (item.ImageTags.contains("Primary"))
        return ImageChoice{item.Id.str(), ImageType::Primary,
                           item.ImageTags.find("Primary").toOptional()};
    if (item.AlbumId && item.AlbumPrimaryImageTag)
        return ImageChoice{item.AlbumId.str(), ImageType::Primary,
                           item.AlbumPrimaryImageTag.toOptional()};
    for (auto candidate : {ImageType::Thumb, ImageType::Logo, ImageType::Art, ImageType::Banner}) {
        auto name = imageTypeName(candidate);
        if (item.ImageTags.contains(name))
            return ImageChoice{item.Id.str(), candidate, item.ImageTags.find(name).toOptional()};
    }
    return std::nullopt;
}

std::optional<Url> MediaSource::getImageURL(ApiClient& apiClient, const BaseItemDto& item,
                                            int maxWidth) {
    auto choice = chooseImage(item);
    if (!choice)
        return std::nullopt;
    ImageOptions options(choice->type);
    options.MaxWidth = maxWidth;
    options.Quality = std::nullopt;
    options.Tag = choice->tag;
    return apiClient.getScaledImageUrl(
        choice->itemId, options, {{"api_key", apiClient.getServerCredentials().value_or("")}});
}

std::vector<std::shared_ptr<ApiClient>> MediaSource::getServerList() {
    auto clients = manager()->getApiClients();
    std::vector<std::pair<Date, std::shared_ptr<ApiClient>>> dated;
    dated.reserve(clients.size());
    for (auto& client : clients)
        dated.emplace_back(client->dateLastAccessed(), std::move(client));
    std::stable_sort(dated.begin(), dated.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::shared_ptr<ApiClient>> out;
    out.reserve(dated.size());
    for (auto& [date, client] : dated) {
        if (!client->serverAddress())
            client->tryReconnect();
        out.push_back(std::move(client));
    }
    return out;
}

std::shared_ptr<ApiClient> MediaSource::getApiClient(const std::string& serverId) {
    return manager()->getApiClient(serverId);
}

void MediaSource::getUserViews(const std::string& serverId, ListCompletion completion) {
    auto client = usableClient(serverId);
    if (!client) {
        completion({});
        return;
    }
    client->getServerAddress(DispatchQueue::main(), [client, completion = std::move(completion)](
                                                        std::optional<std::string>,
                                                        std::optional<UrlError> error) mutable {
        if (error) {
            completion({});
            return;
        }
        client->getUserViews(std::nullopt, {}, itemsOf(std::move(completion)));
    });
}

void MediaSource::getChildren(const std::string& serverId, std::optional<std::string> parentId,
                              QueryParams options, ListCompletion completion) {
    auto client = usableClient(serverId);
    if (!client) {
        completion({});
        return;
    }
    QueryParams params = options.empty()
                             ? QueryParams{{"SortBy", "SortName"}, {"SortOrder", "Ascending"}}
                             : std::move(options);
    if (parentId)
        params["ParentId"] = *parentId;
    params["ExcludeItemTypes"] = kExcludedChildTypes;
    fetchItems(*client, "getItems", itemsPath(*client), params, itemsOf(std::move(completion)));
}

void MediaSource::getRandomItems(std::shared_ptr<ApiClient> apiClient, const std::string& type,
                                 ResponseCompletion completion) {
    if (!apiClient) {
        completion(std::nullopt);
        return;
    }
    apiClient->getItems(apiClient->currentUserId(),
                        {{"IncludeItemTypes", type},
                         {"IncludeMedia", "true"},
                         {"IncludeArtists", "false"},
                         {"Recursive", "true"},
                         {"EnableTotalRecordCount", "false"},
                         {"Limit", "50"},
                         {"SortBy", "Random"}},
                        std::move(completion));
}

void MediaSource::getLatestMusic(const std::string& serverId, ListCompletion completion) {
    auto client = usableClient(serverId);
    if (!client) {
        completion({});
        return;
    }
    client->getLatestItems(client->currentUserId(),
                           {{"IncludeItemTypes", "Audio,MusicAlbum"}, {"Limit", "24"}},
                           [completion = std::move(completion)](std::optional<ItemList> items) {
                               completion(items ? std::move(*items) : ItemList{});
                           });
}

void MediaSource::musicItems(const std::string& serverId, QueryParams params,
                             ListCompletion completion) {
    auto client = usableClient(serverId);
    if (!client) {
        completion({});
        return;
    }
    applyMusicDefaults(params);
    fetchItems(*client, "getItems", itemsPath(*client), params, itemsOf(std::move(completion)));
}

void MediaSource::getRecentlyPlayedMusic(const std::string& serverId, ListCompletion completion) {
    musicItems(serverId,
               {{"SortBy", "DatePlayed"},
                {"SortOrder", "Descending"},
                {"Filters", "IsPlayed"},
                {"Recursive", "true"}},
               std::move(completion));
}

void MediaSource::getFrequentlyPlayedMusic(const std::string& serverId, ListCompletion completion) {
    musicItems(serverId,
               {{"SortBy", "PlayCount"},
                {"SortOrder", "Descending"},
                {"Filters", "IsPlayed"},
                {"Recursive", "true"}},
               std::move(completion));
}

void MediaSource::getFavoriteSongs(const std::string& serverId, ListCompletion completion) {
    musicItems(serverId,
               {{"SortBy", "Random"},
                {"Filters", "IsFavorite"},
                {"Recursive", "true"},
                {"IncludeItemTypes", "Audio"}},
               std::move(completion));
}

void MediaSource::getFavoriteAlbums(const std::string& serverId, ListCompletion completion) {
    musicItems(serverId,
               {{"SortBy", "Random"},
                {"Filters", "IsFavorite"},
                {"Recursive", "true"},
                {"IncludeItemTypes", "MusicAlbum"}},
               std::move(completion));
}

void MediaSource::getFavoriteArtists(const std::string& serverId, ListCompletion completion) {
    auto client = usableClient(serverId);
    if (!client) {
        completion({});
        return;
    }
    QueryParams params{{"SortBy", "SortName"},
                       {"SortOrder", "Ascending"},
                       {"Filters", "IsFavorite"},
                       {"Recursive", "true"},
                       {"IncludeMedia", "false"},
                       {"IncludeArtists", "true"},
                       {"EnableTotalRecordCount", "false"}};
    if (auto user = client->currentUserId())
        params["UserId"] = *user;
    fetchItems(*client, "getArtistItems", "Artists", params, itemsOf(std::move(completion)));
}

MediaSource::QueryParams MediaSource::searchItemsParams(const std::string& title,
                                                        const std::vector<std::string>& types) {
    return {{"SearchTerm", title},
            {"IncludeItemTypes", types.empty() ? std::string(kDefaultSearchTypes) : joined(types)},
            {"IncludeMedia", "true"},
            {"Recursive", "true"},
            {"EnableTotalRecordCount", "false"},
            {"Limit", "16"}};
}

MediaSource::QueryParams MediaSource::searchAlbumParams(const std::string& album) {
    return {{"SearchTerm", album},    {"IncludeItemTypes", "MusicAlbum"},
            {"IncludeMedia", "true"}, {"IncludeArtists", "false"},
            {"Recursive", "true"},    {"EnableTotalRecordCount", "false"},
            {"Limit", "16"}};
}

MediaSource::QueryParams MediaSource::searchArtistParams(const std::string& artist) {
    return {{"SearchTerm", artist}, {"IncludeMedia", "false"},           {"IncludeArtists", "true"},
            {"Recursive", "true"},  {"EnableTotalRecordCount", "false"}, {"Limit", "1"}};
}

void MediaSource::searchForItems(std::shared_ptr<ApiClient> apiClient,
                                 std::optional<std::string> title,
                                 const std::vector<std::string>& types,
                                 ResponseCompletion completion) {
    if (!apiClient || !title) {
        completion(std::nullopt);
        return;
    }
    apiClient->getItems(apiClient->currentUserId(), searchItemsParams(*title, types),
                        std::move(completion));
}

void MediaSource::searchForAlbum(std::shared_ptr<ApiClient> apiClient,
                                 std::optional<std::string> album, ResponseCompletion completion) {
    if (!apiClient || !album) {
        completion(std::nullopt);
        return;
    }
    apiClient->getItems(apiClient->currentUserId(), searchAlbumParams(*album),
                        std::move(completion));
}

void MediaSource::searchForArtist(std::shared_ptr<ApiClient> apiClient,
                                  std::optional<std::string> artist,
                                  ResponseCompletion completion) {
    if (!apiClient || !artist) {
        completion(std::nullopt);
        return;
    }
    apiClient->getArtistItems(searchArtistParams(*artist), std::move(completion));
}

void MediaSource::searchForAll(std::shared_ptr<ApiClient> apiClient,
                               std::optional<std::string> searchName,
                               ResponseCompletion completion) {
    if (!apiClient || !searchName) {
        completion(std::nullopt);
        return;
    }
    // The three searches finish on the session's queue (or at once, without a URL); the list and
    // the counter are updated under one lock, and the completion runs outside it, once.
    struct Shared {
        std::mutex mutex;
        ItemList items;
        int finished = 0;
        ResponseCompletion completion;
    };
    auto shared = std::make_shared<Shared>();
    shared->completion = std::move(completion);
    auto finish = [shared](std::optional<GetItemsResponse> answer) {
        std::optional<GetItemsResponse> combined;
        {
            std::lock_guard lock(shared->mutex);
            if (answer) {
                for (auto& item : answer->Items)
                    shared->items.push_back(std::move(item));
            }
            if (++shared->finished < 3)
                return;
            combined.emplace();
            combined->Items = std::move(shared->items);
            combined->TotalRecordCount = static_cast<std::int64_t>(combined->Items.size());
        }
        auto done = std::move(shared->completion);
        done(std::move(combined));
    };
    const std::string path = itemsPath(*apiClient);
    fetchItems(*apiClient, "getItems", path, searchItemsParams(*searchName, {}), finish);
    fetchItems(*apiClient, "getItems", path, searchAlbumParams(*searchName), finish);
    fetchItems(*apiClient, "getArtistItems", "Artists", searchArtistParams(*searchName), finish);
}

}  // namespace vk
