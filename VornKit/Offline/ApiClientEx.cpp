#include "VornKit/Offline/ApiClientEx.h"

#include <algorithm>

#include "VornKit/Platform/Runtime/Environment.h"

namespace vk {

ApiClientEx::ApiClientEx(ServerInfo serverInfo, DeviceInfo deviceInfo,
                         std::shared_ptr<OfflineDataController> itemRepo)
    : ApiClient(std::move(serverInfo), std::move(deviceInfo)),
      itemRepo_(itemRepo ? std::move(itemRepo) : OfflineDataController::sharedInstance()) {}

std::optional<std::string> ApiClientEx::localItemId(const std::string& itemId) {
    const std::size_t at = itemId.find(kLocalPrefix);
    if (itemId.compare(0, kLocalPrefix.size(), kLocalPrefix) != 0 || at == std::string::npos)
        return std::nullopt;
    return itemId.substr(at + kLocalPrefix.size());
}

void ApiClientEx::reportPlaybackStart(const PlaybackProgressInfo& info) {
    if (localItemId(info.ItemId))
        return;
    ApiClient::reportPlaybackStart(info);
}

void ApiClientEx::sendPlaybackProgress(const PlaybackProgressInfo& info) {
    std::optional<std::string> itemId = localItemId(info.ItemId);
    if (!itemId) {
        ApiClient::sendPlaybackProgress(info);
        return;
    }
    auto self = std::static_pointer_cast<ApiClientEx>(shared_from_this());
    itemRepo_->perform([self, itemId = *itemId, position = info.PositionTicks] {
        self->recordProgress(itemId, position);
    });
}

void ApiClientEx::reportPlaybackStopped(const PlaybackStopInfo& info) {
    std::optional<std::string> itemId = localItemId(info.ItemId);
    if (!itemId) {
        ApiClient::reportPlaybackStopped(info);
        return;
    }
    auto self = std::static_pointer_cast<ApiClientEx>(shared_from_this());
    itemRepo_->perform([self, itemId = *itemId, position = info.PositionTicks] {
        self->recordStop(itemId, position);
    });
}

bool ApiClientEx::updateResume(BaseItemDto& item, std::optional<std::int64_t> positionTicks) {
    if (!positionTicks)
        return false;
    // The record is changed in place and saved once: the user data is never absent in the store,
    // not even between two saves.
    UserItemDataDto data = item.UserData.value_or(UserItemDataDto{});
    const std::int64_t runTime = item.RunTimeTicks;
    data.PlaybackPositionTicks = *positionTicks;
    data.PlayedPercentage = runTime < 1 ? 0.0
                                        : std::min(100.0, static_cast<double>(*positionTicks) *
                                                              100.0 / static_cast<double>(runTime));
    // Nine tenths of the run time, truncated, without overflowing for any 64-bit run time.
    if (runTime >= 1 && *positionTicks >= runTime / 10 * 9 + runTime % 10 * 9 / 10) {
        data.Played = true;
        data.PlaybackPositionTicks = 0;
        data.PlayedPercentage = 0.0;
    }
    item.UserData = std::move(data);
    return true;
}

void ApiClientEx::recordProgress(const std::string& itemId,
                                 std::optional<std::int64_t> positionTicks) {
    auto entry = itemRepo_->getLocalItemWith(serverId(), itemId);
    if (!entry || !entry->item || entry->item->MediaType != "Audio" ||
        !entry->item->SupportsResume) {
        return;
    }
    if (updateResume(*entry->item, positionTicks))
        itemRepo_->saveChanges();
}

void ApiClientEx::recordStop(const std::string& itemId, std::optional<std::int64_t> positionTicks) {
    auto entry = itemRepo_->getLocalItemWith(serverId(), itemId);
    if (!entry || !entry->item || entry->item->MediaType != "Audio")
        return;
    if (entry->item->SupportsResume)
        updateResume(*entry->item, positionTicks);
    auto action = itemRepo_->insertNewUserAction();
    action->date = Environment::current()->now();
    action->itemId = itemId;
    action->positionTicks = static_cast<double>(positionTicks.value_or(0));
    action->serverId = serverId();
    action->type = 0;
    action->userId = currentUserId();
    itemRepo_->saveChanges();
}

}  // namespace vk
