// ChangeTracker: decides which attributes of a registered object differ from its stored row in a
// way the program made, i.e. what a save must write and what a query must see as changed.
//
// An attribute is unchanged when the object's value equals the stored value, or equals what the
// object made of the stored value when it took it (a stored status it maps, an archive its
// transformer refuses, NULL in a text that cannot be absent): a read never turns into a write,
// and a stored value the code cannot interpret stays exactly as it is until a caller sets that
// member. To-one relationships compare by destination object.
//
// Thread rule: one tracker per entity per pass, on the context's queue.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

/// Decides which attributes of a registered object a save must write (see the top of this file).
/// Used on the context's queue, one tracker per entity per pass.
class VK_EXPORT ChangeTracker {
  public:
    /// A tracker for objects of `entity`, which must outlive it.
    explicit ChangeTracker(const EntityDescription& entity) : entity_(entity) {}

    /// Whether attribute `index` of `object`, whose store value is now `current`, must be written.
    /// An object never saved has every attribute changed.
    bool changed(const ManagedObject& object, size_t index, const StoreValue& current);

    /// Drops what was remembered of attribute `index` (call when its stored value was replaced).
    static void forgetFetchedForm(const ManagedObject& object, size_t index);

  private:
    const StoreValue& fetchedForm(const ManagedObject& object, size_t index);

    const EntityDescription& entity_;
    std::shared_ptr<ManagedObject> scratch_;  ///< takes stored values to see what they become
};

}  // namespace vk
