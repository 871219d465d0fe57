// The base of every object an ObjectContext keeps: its identity in the store (entity and primary
// key), its life-cycle state (inserted, updated, deleted) and the bridge between the subclass's
// typed fields and the store's column values.
//
// A subclass keeps its data in ordinary typed members and implements storeValue()/setStoreValue()
// for the attributes of its entity, in the entity's attribute order. The context learns about
// changes by comparing storeValue() with the stored row (ChangeTracker.h), so plain member writes
// (also replacing a whole record-valued member) are picked up at the next save, and a stored value
// the object could not hold as it was is never written back unless the member was changed.
//
// Thread rule: an object registered with a context belongs to that context's queue; read and write
// it only there. A free-standing object (no context) belongs to whoever holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ObjectModel.h"

namespace vk {

class ObjectContext;

/// The bytes of a transformable column (a keyed archive).
using StoreBytes = std::vector<std::uint8_t>;
/// One column value: null, integer (also Boolean), double (also float and date), text, bytes
/// (transformable), or the destination object of a to-one relationship.
using StoreValue = std::variant<std::monostate, std::int64_t, double, std::string, StoreBytes,
                                std::shared_ptr<ManagedObject>>;

/// The base of every object an ObjectContext keeps (see the top of this file). Registered with a
/// context it belongs to that context's queue; free-standing, to whoever holds it.
class VK_EXPORT ManagedObject : public std::enable_shared_from_this<ManagedObject> {
  public:
    /// A free-standing object of the entity `entityName`; ObjectContext::insert() registers it.
    explicit ManagedObject(std::string entityName) : entityName_(std::move(entityName)) {}
    virtual ~ManagedObject() = default;
    ManagedObject(const ManagedObject&) = delete;
    ManagedObject& operator=(const ManagedObject&) = delete;

    /// The entity (table) the object belongs to.
    const std::string& entityName() const { return entityName_; }
    /// The row's primary key; 0 until the object has been saved.
    std::int64_t primaryKey() const { return primaryKey_; }
    /// The context the object is registered with, or nullptr when free-standing.
    std::shared_ptr<ObjectContext> managedObjectContext() const { return context_.lock(); }
    /// Whether the object was inserted into its context and not saved yet.
    bool isInserted() const { return inserted_; }
    /// Whether the object has been deleted from its context; stays true once the deletion is saved
    /// (the object is then free-standing).
    bool isDeleted() const { return deleted_; }

    /// The value of attribute `index` of the entity, as the store writes it.
    virtual StoreValue storeValue(size_t index) const = 0;
    /// Sets attribute `index` from a value read from the store. Values of the wrong kind are
    /// ignored by implementations (the field keeps its default).
    virtual void setStoreValue(size_t index, const StoreValue& value) = 0;

  private:
    friend class ObjectContext;
    friend class ChangeTracker;
    std::string entityName_;
    std::int64_t primaryKey_ = 0;
    std::weak_ptr<ObjectContext> context_;
    bool inserted_ = false;
    bool deleted_ = false;
    /// The column values as last saved or fetched (empty for objects never saved).
    std::vector<StoreValue> savedValues_;
    /// For stored values that differ from what the object makes of them: attribute index and the
    /// value the object produced right after taking the stored one (filled on demand).
    mutable std::vector<std::pair<size_t, StoreValue>> fetchedForms_;
};

}  // namespace vk
