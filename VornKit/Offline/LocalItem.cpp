#include "VornKit/Offline/LocalItem.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/StoreDecoding.h"

namespace vk {

namespace {

constexpr size_t kItemIndex = 6;  // position of "Item" in the table below

/// "Status": read by the SyncJobStatus rules (a case name, or an integer where values outside
/// 0-6 read as Queued; other text fails) and kept as the raw value.
FieldInfo<LocalItem> statusField() {
    auto info = field<&LocalItem::status>("Status", Presence::Defaulted, "status");
    info.decodeJson = [](LocalItem& record, JsonValueHandle& h, JsonReadContext& ctx) {
        std::int64_t raw = 0;
        if (!enumCoding(SyncJobStatus{}).decodeJson(h, raw, ctx)) {
            return false;
        }
        record.status = static_cast<std::int16_t>(raw);
        return true;
    };
    return info;
}

}  // namespace

const FieldTable<LocalItem>& LocalItem::fieldTable() {
    static const Immortal<FieldTable<LocalItem>> table(
        "LocalItem",
        {
            field<&LocalItem::itemId>("ItemId", Presence::Required, "itemId"),
            field<&LocalItem::localPath>("LocalPath", Presence::Optional, "localPath"),
            field<&LocalItem::serverId>("ServerId", Presence::Optional, "serverId"),
            statusField(),
            field<&LocalItem::syncGuid>("SyncGuid", Presence::Defaulted, "syncGuid"),
            field<&LocalItem::syncJobItemId>("SyncJobItemId", Presence::Defaulted, "syncJobItemId"),
            field<&LocalItem::item>("Item", Presence::Required, kItemAttribute),
        });
    return *table;
}

StoreValue LocalItem::storeValue(size_t index) const {
    if (index == kItemIndex) {
        return item ? StoreValue(std::static_pointer_cast<ManagedObject>(item)) : StoreValue();
    }
    const auto& fields = fieldTable().fields();
    return index < fields.size() ? fields[index].storeValue(*this) : StoreValue();
}

void LocalItem::setStoreValue(size_t index, const StoreValue& value) {
    if (index == kItemIndex) {
        const auto* object = std::get_if<std::shared_ptr<ManagedObject>>(&value);
        item = object ? std::dynamic_pointer_cast<BaseItemDto>(*object) : nullptr;
        return;
    }
    const auto& fields = fieldTable().fields();
    if (index < fields.size()) {
        fields[index].setStoreValue(*this, value);
    }
}

FetchRequest LocalItem::fetchRequest() {
    return FetchRequest(kEntityName);
}

std::shared_ptr<LocalItem> LocalItem::makeForDecoding(const JsonDecoder& decoder) {
    return insertForDecoding<LocalItem>(decoder, kEntityName);
}

DecodingError LocalItem::missingContextError() {
    return DecodingError::platformError(kMissingContextDomain, -1);
}

}  // namespace vk

template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::LocalItem>>();
template const ::vk::TypeCoding& ::vk::typeCoding<std::vector<std::shared_ptr<vk::LocalItem>>>();
