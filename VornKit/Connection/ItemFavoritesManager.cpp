#include "VornKit/Connection/ItemFavoritesManager.h"

#include "VornKit/Connection/ConnectionManager.h"

namespace vk {

void ItemFavoritesManager::isItemFavorite(const std::string& serverId, const std::string& itemId,
                                          Completion completion) {
    isItemFavorite(*ConnectionManager::sharedInstance(), serverId, itemId, std::move(completion));
}

void ItemFavoritesManager::setItemFavorite(const std::string& serverId, const std::string& itemId,
                                           bool isFavorite, Completion completion) {
    setItemFavorite(*ConnectionManager::sharedInstance(), serverId, itemId, isFavorite,
                    std::move(completion));
}

void ItemFavoritesManager::isItemFavorite(ConnectionManager& manager, const std::string& serverId,
                                          const std::string& itemId, Completion completion) {
    auto client = manager.getApiClient(serverId);
    if (!client) {
        completion(false);
        return;
    }
    client->getItem(client->serverInfo().UserId, itemId, JsonDecoder(),
                    [completion](std::optional<std::shared_ptr<BaseItemDto>> item) {
                        bool favorite = item && *item && (*item)->UserData &&
                                        (*item)->UserData->IsFavorite.value_or(false);
                        completion(favorite);
                    });
}

void ItemFavoritesManager::setItemFavorite(ConnectionManager& manager, const std::string& serverId,
                                           const std::string& itemId, bool isFavorite,
                                           Completion completion) {
    auto client = manager.getApiClient(serverId);
    if (!client) {
        completion(false);
        return;
    }
    client->favoriteItem(itemId, isFavorite, [completion](std::optional<UserItemDataDto> userData) {
        if (!userData) {
            completion(false);
            return;
        }
        NotificationCenter::defaultCenter().post(
            std::string(ConnectionManager::kItemFavoritesDidChange));
        completion(userData->IsFavorite.value_or(false));
    });
}

}  // namespace vk
