// OfflineAction: something the server should be told later, kept in the offline store (entity
// "OfflineAction") — today only type 0, a playback stop of a downloaded item, with its position.
//
// JSON: "Date" (the coder's date form; the plain encoder writes seconds since 2001-01-01 UTC),
// "ItemId", "ServerId", "UserId" optional and left out when absent; "PositionTicks" (a double) and
// "Type" (16-bit) required and always written. Decoding needs a store decoder
// (OfflineDataController::getManagedObjectDecoder); without one it fails with the error domain
// "Failed to decode OfflineAction. Did you forget to set CodingUserInfoKey.managedObjectContext?",
// code -1. A decode that fails part-way removes the inserted object from the context.
//
// Thread rule: bound to its store context's queue (the main queue); free-standing objects belong
// to their holder.
#pragma once

#include <cstdint>
#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/Text.h"
#include "VornKit/Platform/Store/FetchRequest.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

template <class R>
class FieldTable;

/// A report the server should get later, kept in the offline store (see the file comment).
class VK_EXPORT OfflineAction : public ManagedObject {
  public:
    /// The store entity's name, and the error domain of a decode without a store context.
    /// @{
    static constexpr const char* kEntityName = "OfflineAction";
    static constexpr const char* kMissingContextDomain =
        "Failed to decode OfflineAction. Did you forget to set "
        "CodingUserInfoKey.managedObjectContext?";
    /// @}

    OfflineAction() : ManagedObject(kEntityName) {}

    /// The record's fields (see the top of this file): when it happened, which item on which server
    /// for which user, the playback position in ticks (100 ns) and the action's type (0: playback
    /// stopped).
    /// @{
    std::optional<Date> date;
    Text itemId;
    Text serverId;
    double positionTicks = 0;
    std::int16_t type = 0;
    Text userId;
    /// @}

    /// A fetch request for entity "OfflineAction".
    static FetchRequest fetchRequest();

    StoreValue storeValue(size_t index) const override;
    void setStoreValue(size_t index, const StoreValue& value) override;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<OfflineAction>& fieldTable();
    /// Makes the object a store decode fills in: inserted into the decoder's store context, or null
    /// (the decode then fails with missingContextError()) when there is none.
    static std::shared_ptr<OfflineAction> makeForDecoding(const JsonDecoder& decoder);
    /// The error of a decode without a store context.
    static DecodingError missingContextError();
};

}  // namespace vk

extern template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::OfflineAction>>();
extern template const ::vk::TypeCoding& ::vk::typeCoding<
    std::vector<std::shared_ptr<vk::OfflineAction>>>();
