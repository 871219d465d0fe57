#include "VornKit/Offline/ApiClientEx.h"

namespace vk {

ApiClientEx::ApiClientEx(ServerInfo serverInfo, DeviceInfo deviceInfo,
                         std::shared_ptr<OfflineDataController> itemRepo)
    : ApiClient(std::move(serverInfo), std::move(deviceInfo)),
      itemRepo_(itemRepo ? std::move(itemRepo) : OfflineDataController::sharedInstance()) {}

}  // namespace vk
