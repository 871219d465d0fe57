#include "VornKit/Offline/StoreDecoding.h"

#include "VornKit/Model/BaseItemDto.h"

namespace vk {

std::shared_ptr<ObjectContext> storeContextForDecoding(const JsonDecoder& decoder,
                                                       const std::string& entityName) {
    auto found = decoder.userInfo.find(BaseItemDto::kContextKey);
    if (found == decoder.userInfo.end()) {
        return nullptr;
    }
    const auto* context = std::any_cast<std::shared_ptr<ObjectContext>>(&found->second);
    if (context == nullptr || !*context) {
        return nullptr;
    }
    auto coordinator = (*context)->persistentStoreCoordinator();
    if (!coordinator || coordinator->model()->entity(entityName) == nullptr) {
        return nullptr;
    }
    return *context;
}

}  // namespace vk
