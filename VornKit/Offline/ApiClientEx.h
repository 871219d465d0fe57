// ApiClientEx: the client every registered server actually gets (the connection manager makes
// only this subclass). It holds the process-wide offline store, in which playback of downloaded
// items ("local:" item ids) is to be recorded instead of being reported to the server.
//
// This file holds the constructor and the store it is given; the overrides of the playback
// reports (start, unthrottled progress, stop) that keep local items out of the server's reports
// come with the offline work. Until then every report goes to the server as ApiClient sends it.
//
// Thread rule: as ApiClient (thread-safe). The store is shared by every client and outlives them.
#pragma once

#include <memory>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Export.h"
#include "VornKit/Offline/OfflineDataController.h"

namespace vk {

class VK_EXPORT ApiClientEx : public ApiClient {
  public:
    static constexpr std::string_view kClassName = "VornKit.ApiClientEx";

    /// A client for `serverInfo` (with its saved token) that records local playback in
    /// `itemRepo` (null: OfflineDataController::sharedInstance()).
    ApiClientEx(ServerInfo serverInfo, DeviceInfo deviceInfo,
                std::shared_ptr<OfflineDataController> itemRepo = nullptr);

    std::string_view className() const override { return kClassName; }
    const std::shared_ptr<OfflineDataController>& itemRepo() const { return itemRepo_; }

  private:
    const std::shared_ptr<OfflineDataController> itemRepo_;
};

}  // namespace vk
