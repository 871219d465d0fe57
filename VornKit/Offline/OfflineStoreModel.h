// The offline store's model: entities "BaseItemDto", "LocalItem" and "OfflineAction", with one
// attribute per persistent field of each record's field table (scalars as columns, lists, maps and
// records as keyed archives through their value transformers) and LocalItem's to-one `item`
// (deleting a local item deletes its item record). Every column a store query filters on is
// indexed.
//
// Thread rule: built once; immutable and shared.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ObjectModel.h"

namespace vk {

/// The offline store's object model (see the top of this file). Built once; immutable and shared.
class VK_EXPORT OfflineStoreModel {
  public:
    /// Raised whenever attributes are added, so older store files gain the new columns.
    static constexpr int kVersion = 1;
    /// The model, built on first use. Thread-safe.
    static std::shared_ptr<const ManagedObjectModel> shared();
};

}  // namespace vk
