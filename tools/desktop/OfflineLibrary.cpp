#include "OfflineLibrary.h"

#include <filesystem>

#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/FileSystem.h"
#include "VornKit/Offline/OfflineDataController.h"

namespace desktop {

namespace {

std::string artistOf(const vk::BaseItemDto& item) {
    if (!item.AlbumArtist.str().empty())
        return item.AlbumArtist.str();
    if (item.Artists && !item.Artists->empty())
        return item.Artists->front().str();
    return {};
}

}  // namespace

void OfflineLibrary::download(const std::shared_ptr<vk::ApiClient>& client,
                              const std::string& itemId,
                              std::function<void(vk::SyncDownloadResult)> done) {
    vk::SyncDownloader::Options options;
    // The user's "syncOnlyOnWifi" keeps downloads off a cellular link.
    options.networkAllowsSync =
        vk::SyncDownloader::wifiRule(vk::Reachability::reachabilityForInternetConnection());
    auto downloader =
        vk::SyncDownloader::make(client, vk::OfflineDataController::sharedInstance(), options);
    auto item = std::make_shared<vk::BaseItemDto>();
    item->Id = itemId;
    downloader->download(item, nullptr, std::move(done));
}

std::vector<DownloadedItem> OfflineLibrary::downloads(const std::string& serverId) const {
    std::vector<DownloadedItem> out;
    for (const auto& local :
         vk::OfflineDataController::sharedInstance()->getAllLocalItemsForServer(serverId)) {
        if (!local || !local->item || local->localPath.str().empty())
            continue;
        const vk::BaseItemDto& item = *local->item;
        out.push_back(
            {local->itemId, item.Name.str(), item.Album.str(), artistOf(item), item.RunTimeTicks});
    }
    return out;
}

std::vector<std::shared_ptr<vk::MediaItem>> OfflineLibrary::queue(
    const std::string& serverId, const std::vector<std::string>& itemIds,
    std::string& error) const {
    auto store = vk::OfflineDataController::sharedInstance();
    std::vector<std::shared_ptr<vk::MediaItem>> items;
    for (std::size_t i = 0; i < itemIds.size(); ++i) {
        const std::string& id = itemIds[i];
        auto local = store->getDownloadedItemWith(serverId, id);
        if (!local || !local->item || local->localPath.str().empty()) {
            error = "item " + id + " is not downloaded";
            return {};
        }
        const std::filesystem::path file =
            vk::FileSystem::getFileSystemPath(local->localPath.str());
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) {
            error = "the file of item " + id + " is missing";
            return {};
        }
        const vk::BaseItemDto& dto = *local->item;
        // The cover the download brought along, when it is there.
        const std::filesystem::path cover = file.parent_path() / "cover.png";
        std::optional<std::string> coverUrl;
        if (std::filesystem::is_regular_file(cover, ec))
            coverUrl = "file://" + cover.string();
        // A path beginning with "/" gets the item a local play session; the local id keeps its
        // reports in the store.
        auto item = std::make_shared<vk::MediaItem>(
            file.string(), dto.Name.toOptional(), dto.Album.toOptional(),
            artistOf(dto).empty() ? std::nullopt : std::optional<std::string>(artistOf(dto)),
            coverUrl, serverId, "local:" + id, "download" + std::to_string(i));
        item->itemJson = vk::JsonEncoder().encode(dto);
        items.push_back(std::move(item));
    }
    if (items.empty())
        error = "no items to play";
    return items;
}

}  // namespace desktop
