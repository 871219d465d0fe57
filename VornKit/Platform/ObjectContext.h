// A scratch pad of managed objects bound to one queue: inserts, deletions and attribute changes
// stay in the context until save(), which writes all of them to the coordinator's first store in
// one SQLite transaction.
//
// Identity: one object per stored row per context; fetching a row that is already registered
// returns the registered object as it is (with its unsaved changes). Registered objects are kept
// alive by the context until they are saved as deleted, or until reset().
//
// Queries: fetch(), count() and fetchDictionaries() take a SQL condition over the entity's table
// (columns named after attributes, "Z_PK" the key; see ObjectModel.h) with `?` placeholders bound
// in order (a list argument binds as many values and must be matched by `(?)` in the condition,
// which is expanded to `(?,?,...)`). They see the saved rows together with the context's pending
// insertions and deletions; attribute changes of registered objects are seen once saved.
//
// Relationships: a to-one value is the destination object; on save it is written as the
// destination's key (null when the destination is deleted). Deleting an object whose to-one
// attribute is marked cascade deletes the destination too.
//
// Thread rule: bound to its queue. Call every member except performAndWait(), perform(), queue()
// and persistentStoreCoordinator() on that queue (inside performAndWait/perform, or from the
// queue's own blocks).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VornKit/Platform/Dispatch.h"
#include "VornKit/Platform/ManagedObject.h"
#include "VornKit/Platform/PersistentStoreCoordinator.h"

namespace vk {

struct FetchRequest {
    std::string entityName;
    /// SQL condition; empty selects every row.
    std::string condition;
    /// Values for the placeholders, in order. A std::vector<StoreValue> argument is a list.
    std::vector<std::variant<StoreValue, std::vector<StoreValue>>> arguments;
    std::optional<std::int64_t> fetchLimit;
};

using StoreRow = std::map<std::string, StoreValue>;

class ObjectContext : public std::enable_shared_from_this<ObjectContext> {
  public:
    static std::shared_ptr<ObjectContext> make(std::shared_ptr<DispatchQueue> queue);

    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
    std::shared_ptr<PersistentStoreCoordinator> persistentStoreCoordinator() const;

    /// Runs `block` on the context's queue and returns after it ran (inline when already there).
    void performAndWait(const Block& block);
    /// Runs `block` on the context's queue later.
    void perform(Block block);

    /// A new empty object of `entityName`, registered as inserted; nullptr for an unknown entity.
    std::shared_ptr<ManagedObject> insertNewObject(const std::string& entityName);
    /// Registers a free-standing object as inserted. False when it belongs to another context or
    /// its entity is unknown.
    bool insert(const std::shared_ptr<ManagedObject>& object);
    /// Marks the object deleted (an unsaved insertion is simply forgotten).
    void deleteObject(const std::shared_ptr<ManagedObject>& object);
    /// Re-reads a saved object's attributes from the store, dropping its unsaved changes.
    void refresh(const std::shared_ptr<ManagedObject>& object);
    /// Forgets every registered object and unsaved change; the objects become free-standing.
    void reset();

    bool hasChanges();
    /// Writes every change in one transaction. False with `error` set on failure; the changes
    /// then stay in the context.
    bool save(std::string* error);

    std::optional<std::vector<std::shared_ptr<ManagedObject>>> fetch(const FetchRequest& request,
                                                                     std::string* error);
    std::optional<std::int64_t> count(const FetchRequest& request, std::string* error);
    /// Rows of the named attributes (to-one attributes give the destination key).
    std::optional<std::vector<StoreRow>> fetchDictionaries(
        const FetchRequest& request, const std::vector<std::string>& properties, bool distinct,
        std::string* error);

    /// Runs `block` with the pending insertions and deletions applied once to the store (inside a
    /// savepoint that is rolled back afterwards): queries in the block see them without applying
    /// them again, and deleteObject() in the block applies at once. For passes that alternate many
    /// queries and deletions. Nothing reaches the file; the changes stay pending.
    void withPendingView(const Block& block);

    /// Number of registered objects (for tests and diagnostics).
    size_t registeredCount() const;

  private:
    explicit ObjectContext(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    /// Statements and facts of one entity, built once per context.
    struct EntitySql {
        const EntityDescription* entity = nullptr;
        std::string insert;
        std::string selectColumns;  ///< "Z_PK" then every attribute column
        std::string remove;
        std::vector<std::string> nullify;  ///< relationships pointing at this entity
        std::vector<size_t> cascades;      ///< to-one attributes that cascade on delete
    };
    const EntitySql* entitySql(const std::string& entityName) const;
    std::shared_ptr<PersistentStore> activeStore(std::string* error) const;
    std::vector<StoreValue> currentValues(const ManagedObject& object) const;
    bool applyDeletion(const ManagedObject& object, std::string* error);
    bool writeInsertsAndDeletes(SqliteDatabase& db, std::vector<ManagedObject*>& assigned,
                                std::vector<std::vector<StoreValue>>* insertedValues,
                                std::string* error);
    bool openView(const std::shared_ptr<PersistentStore>& store, const char* name,
                  std::vector<ManagedObject*>& assigned, std::string* error);
    void closeView(const std::shared_ptr<PersistentStore>& store, const char* name,
                   std::vector<ManagedObject*>& assigned);
    template <class F>
    auto withPendingChanges(const std::shared_ptr<PersistentStore>& store, std::string* error,
                            F run) -> decltype(run());
    std::shared_ptr<ManagedObject> objectForRow(
        const EntityDescription& entity, std::int64_t key, std::vector<StoreValue> values,
        std::vector<std::pair<ManagedObject*, size_t>>& links, std::vector<std::int64_t>& linkKeys);
    bool resolveLinks(SqliteDatabase& db, std::vector<std::pair<ManagedObject*, size_t>>& links,
                      std::vector<std::int64_t>& linkKeys, std::string* error);
    std::shared_ptr<ManagedObject> registered(const std::string& entity, std::int64_t key) const;

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PersistentStoreCoordinator> coordinator_;
    mutable std::mutex coordinatorMutex_;
    std::unordered_map<std::string,
                       std::unordered_map<std::int64_t, std::shared_ptr<ManagedObject>>>
        registered_;
    std::vector<std::shared_ptr<ManagedObject>> inserted_;
    std::vector<std::shared_ptr<ManagedObject>> deleted_;
    mutable std::unordered_map<std::string, EntitySql> entitySql_;
    int viewDepth_ = 0;
    /// Keys handed out to pending insertions while a query runs (rolled back afterwards).
    std::unordered_map<std::string, std::unordered_map<std::int64_t, ManagedObject*>> provisional_;
};

}  // namespace vk
