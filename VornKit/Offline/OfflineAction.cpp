#include "VornKit/Offline/OfflineAction.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/StoreDecoding.h"

namespace vk {

const FieldTable<OfflineAction>& OfflineAction::fieldTable() {
    static const Immortal<FieldTable<OfflineAction>> table(
        "OfflineAction",
        {
            field<&OfflineAction::date>("Date", Presence::Optional, "date"),
            field<&OfflineAction::itemId>("ItemId", Presence::Optional, "itemId"),
            field<&OfflineAction::serverId>("ServerId", Presence::Optional, "serverId"),
            field<&OfflineAction::positionTicks>("PositionTicks", Presence::Required,
                                                 "positionTicks"),
            field<&OfflineAction::type>("Type", Presence::Required, "type"),
            field<&OfflineAction::userId>("UserId", Presence::Optional, "userId"),
        });
    return *table;
}

StoreValue OfflineAction::storeValue(size_t index) const {
    const auto& fields = fieldTable().fields();
    return index < fields.size() ? fields[index].storeValue(*this) : StoreValue();
}

void OfflineAction::setStoreValue(size_t index, const StoreValue& value) {
    const auto& fields = fieldTable().fields();
    if (index < fields.size()) {
        fields[index].setStoreValue(*this, value);
    }
}

FetchRequest OfflineAction::fetchRequest() {
    return FetchRequest(kEntityName);
}

std::shared_ptr<OfflineAction> OfflineAction::makeForDecoding(const JsonDecoder& decoder) {
    return insertForDecoding<OfflineAction>(decoder, kEntityName);
}

DecodingError OfflineAction::missingContextError() {
    return DecodingError::platformError(kMissingContextDomain, -1);
}

}  // namespace vk

template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::OfflineAction>>();
template const ::vk::TypeCoding& ::vk::typeCoding<
    std::vector<std::shared_ptr<vk::OfflineAction>>>();
