// LocalItem: a downloaded library item in the offline store (entity "LocalItem"): which server and
// item it is, where its file lies, which sync job item produced it, how far the download got
// (`status`, the stored 16-bit SyncJobStatus raw value; 4 and 5 count as downloaded) and its item
// record. `status` holds whatever the store holds, also values that name no SyncJobStatus (a newer
// version's, say): they are kept as they are; syncJobStatus() tells whether it names one.
//
// JSON: "ItemId" required; "LocalPath", "ServerId" optional; "Status" a SyncJobStatus case name or
// integer (absent 0, integers outside 0-6 Queued, other text fails); "SyncGuid" and
// "SyncJobItemId" 32-bit, absent 0; "Item" a required nested BaseItemDto object. Decoding needs a
// store decoder (OfflineDataController::getManagedObjectDecoder): the record and its item are
// created inside the store's context. Without one it fails with the error domain
// "managedObjectContextKey missing from decoder", code -1. A decode that fails part-way removes
// what it inserted from the context.
//
// Thread rule: bound to its store context's queue (the main queue); free-standing objects belong
// to their holder.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/SyncJob.h"
#include "VornKit/Platform/Store/FetchRequest.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

/// A downloaded item's record in the offline store (see the file comment).
class VK_EXPORT LocalItem : public ManagedObject {
  public:
    /// The store entity's name, and the error domain of a decode without a store context.
    /// @{
    static constexpr const char* kEntityName = "LocalItem";
    static constexpr const char* kMissingContextDomain =
        "managedObjectContextKey missing from decoder";
    /// @}

    LocalItem() : ManagedObject(kEntityName) {}

    /// The record's fields (see the top of this file): the item and server ids, the local file's
    /// path, the stored download status, the sync ids, and the item record, owned by the same
    /// store.
    /// @{
    std::string itemId;
    Text localPath;
    Text serverId;
    std::int16_t status = 0;
    std::int32_t syncGuid = 0;
    std::int32_t syncJobItemId = 0;
    std::shared_ptr<BaseItemDto> item;
    /// @}

    /// The status as a SyncJobStatus; absent when the stored value names none.
    std::optional<SyncJobStatus> syncJobStatus() const { return syncJobStatusFromRaw(status); }
    /// Stores `value`'s raw value in `status` (not saved).
    void setSyncJobStatus(SyncJobStatus value) { status = static_cast<std::int16_t>(value); }

    /// A fetch request for entity "LocalItem".
    static FetchRequest fetchRequest();

    StoreValue storeValue(size_t index) const override;
    void setStoreValue(size_t index, const StoreValue& value) override;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<LocalItem>& fieldTable();
    /// The store attribute that holds `item` as a to-one relationship.
    static constexpr const char* kItemAttribute = "item";
    /// Makes the object a store decode fills in: inserted into the decoder's store context, or
    /// nullptr (the decode then fails with kMissingContextDomain) when there is none.
    static std::shared_ptr<LocalItem> makeForDecoding(const JsonDecoder& decoder);
    /// The error of a decode without a store context.
    static DecodingError missingContextError();
};

}  // namespace vk

extern template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::LocalItem>>();
extern template const ::vk::TypeCoding& ::vk::typeCoding<
    std::vector<std::shared_ptr<vk::LocalItem>>>();
