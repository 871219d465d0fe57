// A scratch pad of managed objects bound to one queue: inserts, deletions and attribute changes
// stay in the context until save(), which writes all of them to the coordinator's first store in
// one SQLite transaction. A save writes only what changed: the rows of inserted and deleted
// objects, and of registered objects only the attributes whose values the program changed
// (ChangeTracker.h); a fetched object left alone is never written.
//
// Identity: one object per stored row per context; fetching a row that is already registered
// returns the registered object as it is (with its unsaved changes). A save lets go of objects only
// the context holds (none has anything unsaved; a later fetch makes a new one); reset() drops all.
//
// Queries: fetch(), count() and fetchDictionaries() take a FetchRequest (FetchRequest.h). They see
// the saved rows together with the context's unsaved insertions, deletions and attribute changes,
// through a pending view of in-memory tables (PendingView.h): a query only reads the store file,
// so it answers while another process writes. A query sees an attribute change when its condition
// (or, for fetchDictionaries, a requested property) reads that attribute. Rows of changed and
// inserted objects come after the stored rows.
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
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Store/EntityTable.h"
#include "VornKit/Platform/Store/FetchRequest.h"
#include "VornKit/Platform/Store/ManagedObject.h"
#include "VornKit/Platform/Store/PendingView.h"
#include "VornKit/Platform/Store/PersistentStoreCoordinator.h"

namespace vk {

using StoreRow = std::map<std::string, StoreValue>;

/// A queue-bound scratch pad of managed objects over a store (see the file comment); shared.
class VK_EXPORT ObjectContext : public std::enable_shared_from_this<ObjectContext> {
  public:
    /// An empty context bound to `queue`, without a coordinator until one is set.
    static std::shared_ptr<ObjectContext> make(std::shared_ptr<DispatchQueue> queue);

    /// The queue the context is bound to; fixed for its life (any thread).
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    /// Sets the coordinator whose first store queries read and saves write.
    void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
    /// The coordinator set, or null (any thread).
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

    /// Whether there are unsaved insertions, deletions or attribute changes.
    bool hasChanges();
    /// Writes every change in one transaction. False with `error` set on failure; the changes
    /// then stay in the context.
    bool save(std::string* error);

    /// The objects matching `request` (registered ones as they are); absent with `error` set when
    /// the store cannot answer.
    std::optional<std::vector<std::shared_ptr<ManagedObject>>> fetch(const FetchRequest& request,
                                                                     std::string* error);
    /// How many objects match `request`; absent with `error` set when the store cannot answer.
    std::optional<std::int64_t> count(const FetchRequest& request, std::string* error);
    /// Rows of the named attributes (to-one attributes give the destination key).
    std::optional<std::vector<StoreRow>> fetchDictionaries(
        const FetchRequest& request, const std::vector<std::string>& properties, bool distinct,
        std::string* error);

    /// Runs `block` with the pending view open once for all its queries: for passes that
    /// alternate many queries and deletions. Queries in the block see the unsaved changes made
    /// before it (attribute changes of every attribute but archived ones) and the deletions made
    /// in it; insertions and attribute changes made in the block are seen after it. Nothing
    /// reaches the file; save() in the block fails.
    void withPendingView(const Block& block);

    /// Number of registered objects (for tests and diagnostics).
    size_t registeredCount() const;

  private:
    explicit ObjectContext(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    using AttributeList = std::vector<std::pair<std::string, size_t>>;
    const EntityTable* table(const std::string& entityName) const;
    std::shared_ptr<PersistentStore> activeStore(std::string* error) const;
    std::vector<StoreValue> currentValues(const ManagedObject& object) const;
    /// Registered objects with changes in `attributes` (all but archived ones when absent).
    std::vector<ManagedObject*> changedObjects(const AttributeList* attributes);
    bool openView(SqliteDatabase& db, const std::vector<ManagedObject*>& changed,
                  std::string* error);
    /// Runs `run` with the pending view open when the query can see unsaved changes.
    template <class F>
    auto withPendingChanges(SqliteDatabase& db, const EntityDescription& entity,
                            const std::string& whereClause, const AttributeList& alsoRead,
                            std::string* error, F run) -> decltype(run());
    const AttributeList* attributesRead(SqliteDatabase& db, const EntityDescription& entity,
                                        const std::string& whereClause);
    /// The store and entity of a request, with its compiled condition; absent with `error`.
    struct PreparedRequest {
        std::shared_ptr<PersistentStore> store;
        const EntityDescription* entity = nullptr;
        CompiledCondition condition;
        std::string limit;
    };
    std::optional<PreparedRequest> prepareRequest(const FetchRequest& request,
                                                  std::string* error) const;
    /// The object of the row `row` stands on ("Z_PK" then every attribute): the registered or
    /// pending one, or a new registered object whose to-one keys are added to `links`.
    std::shared_ptr<ManagedObject> objectForRow(
        const EntityDescription& entity, SqliteStatement& row,
        std::vector<std::pair<ManagedObject*, size_t>>& links, std::vector<std::int64_t>& linkKeys);
    bool resolveLinks(SqliteDatabase& db, std::vector<std::pair<ManagedObject*, size_t>>& links,
                      std::vector<std::int64_t>& linkKeys, std::string* error);
    std::shared_ptr<ManagedObject> registered(const std::string& entity, std::int64_t key) const;
    bool applyDeletes(SqliteDatabase& db, std::string* error);
    bool applyInserts(SqliteDatabase& db, std::vector<ManagedObject*>& assigned,
                      std::vector<std::vector<StoreValue>>& insertedValues, std::string* error);

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PersistentStoreCoordinator> coordinator_;
    mutable std::mutex coordinatorMutex_;
    std::unordered_map<std::string,
                       std::unordered_map<std::int64_t, std::shared_ptr<ManagedObject>>>
        registered_;
    std::vector<std::shared_ptr<ManagedObject>> inserted_;
    std::vector<std::shared_ptr<ManagedObject>> deleted_;
    mutable std::unordered_map<std::string, EntityTable> tables_;
    std::unordered_map<std::string, AttributeList> readsByQuery_;
    PendingView view_;
    int viewDepth_ = 0;
};

}  // namespace vk
