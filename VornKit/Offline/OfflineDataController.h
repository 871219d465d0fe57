// OfflineDataController: the framework's one persistent object store, kept in "Vorn.sqlite" in the
// application-group container so the application and its extensions share it. It holds the
// library item records ("BaseItemDto"), the downloaded-item records ("LocalItem") and the queued
// offline actions ("OfflineAction"), and offers the fixed set of queries and mutations below.
//
// Opening: the context is created on first use. An existing shared store is opened; otherwise a
// store in the documents directory (created empty when absent) is copied into the group container
// once and used from there (the old file stays). The copy is made under a lock beside the shared
// store ("Vorn.sqlite.lock"), so when the application and an extension start together the second
// waits and opens the store the first moved. Load or copy failures are logged and leave the
// controller without a store: queries then answer nothing and saves log that there is no store.
// A missing group container or documents directory stops the process with a fatal error.
//
// Nothing but saveChanges() and deleteOfflineActions() saves; callers save after mutating. A save
// writes only what the program changed: a fetched record left alone is never written back, also
// when it holds a value this version cannot interpret (a LocalItem status outside 0-6 stays as
// stored). Queries see unsaved insertions, deletions and changes, and only read the store file.
//
// Thread rule: the context is bound to the main queue. Every operation that touches the store runs
// synchronously on it: inline when called on the main queue, otherwise blocking until the main
// queue has run it (so the main run loop must be serviced). perform() and resetObject() run later
// on the main queue. Objects returned belong to the context: read and write them on the main
// queue.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/SyncJob.h"
#include "VornKit/Offline/LocalItem.h"
#include "VornKit/Offline/OfflineAction.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Store/ObjectContext.h"

namespace vk {

/// The persistent store of offline records (see the file comment); shared, bound to one queue.
class VK_EXPORT OfflineDataController {
  public:
    /// The store's entity names and its file's name.
    /// @{
    static constexpr const char* OfflineActionEntityName = "OfflineAction";
    static constexpr const char* BaseItemDtoEntityName = "BaseItemDto";
    static constexpr const char* LocalItemEntityName = "LocalItem";
    static constexpr const char* kStoreFileName = "Vorn.sqlite";
    /// @}

    /// Where the store lives; sharedInstance() uses the group container and documents directory
    /// of the current Environment (resolved when the context is first needed).
    struct Locations {
        /// The application-group container, where the store lives (required), and the documents
        /// directory, where an older store is moved from.
        /// @{
        std::optional<std::filesystem::path> groupContainer;
        std::optional<std::filesystem::path> documents;
        /// @}
    };

    /// The process-wide controller, created on first use.
    static std::shared_ptr<OfflineDataController> sharedInstance();
    /// A controller over explicit locations (tests, tools); the context is bound to `queue`.
    explicit OfflineDataController(std::optional<Locations> locations = std::nullopt,
                                   std::shared_ptr<DispatchQueue> queue = DispatchQueue::main());

    /// The store context, opening the store on first use.
    std::shared_ptr<ObjectContext> managedObjectContext();
    /// A decoder whose records of the store's entities are created in the store context (decode
    /// on the context's queue), and that context.
    std::pair<JsonDecoder, std::shared_ptr<ObjectContext>> getManagedObjectDecoder();

    /// Runs `block` later on the context's queue; returns at once.
    void perform(Block block);
    /// Runs `block` on the context's queue and returns after it (inline when already there).
    void performAndWait(const Block& block);
    /// Drops every unsaved change and forgets the objects fetched so far.
    void reset();
    /// Later, on the context's queue: drops the object's unsaved changes.
    void resetObject(std::shared_ptr<ManagedObject> object);
    /// Marks the object deleted (not saved).
    void deleteObject(const std::shared_ptr<ManagedObject>& object);
    /// Takes a free-standing record (a BaseItemDto from a plain decoder) into the store.
    void insert(const std::shared_ptr<ManagedObject>& object);
    /// Writes the unsaved changes to the store file; a failure, or having no store, is logged.
    void saveChanges();

    /// A new offline action in the context (not saved). Never null.
    std::shared_ptr<OfflineAction> insertNewUserAction();
    /// A new local item in the context (not saved). Never null.
    std::shared_ptr<LocalItem> insertNewLocalItem();
    /// Every queued offline action; empty without a store.
    std::vector<std::shared_ptr<OfflineAction>> getAllOfflineActions();
    /// Deletes the actions and saves.
    void deleteOfflineActions(const std::vector<std::shared_ptr<OfflineAction>>& actions);

    /// Whether the server's item has a local item, in any status.
    bool localItemExists(const std::string& serverId, const std::string& itemId);
    /// Downloaded items (status Completed or CompletedWithError) of the server.
    std::vector<std::shared_ptr<LocalItem>> getAllLocalItemsForServer(const std::string& serverId);
    /// The server's local items with these item ids, in the order of `ids` (a repeated id counts
    /// at its last position); ids without a local item are left out.
    std::vector<std::shared_ptr<LocalItem>> getLocalItemsByIds(const std::string& serverId,
                                                               const std::vector<std::string>& ids);
    /// Downloaded items whose record's type is one of `types`.
    std::vector<std::shared_ptr<LocalItem>> getLocalItemsByType(
        const std::string& serverId, const std::vector<std::string>& types);
    /// The distinct types of the server's stored item records, each once.
    std::vector<std::string> getDistinctLocalItemTypes(const std::string& serverId);
    /// The server's item's local item if downloaded (Completed or CompletedWithError), or null.
    std::shared_ptr<LocalItem> getDownloadedItemWith(const std::string& serverId,
                                                     const std::string& itemId);
    /// The server's item's local item in any status, or null.
    std::shared_ptr<LocalItem> getLocalItemWith(const std::string& serverId,
                                                const std::string& itemId);
    /// The local item whose local path is `path` (as stored, relative), or null.
    std::shared_ptr<LocalItem> getLocalItemWith(const std::string& path);
    /// Absent when there is no local item, or its stored status is no SyncJobStatus.
    std::optional<SyncJobStatus> getSyncStatusForLibraryItemId(const std::string& itemId,
                                                               const std::string& serverId);
    /// Item ids of items in these statuses that have a local path.
    std::vector<std::string> getItemIdsBySyncStatus(const std::string& serverId,
                                                    const std::vector<SyncJobStatus>& status);
    /// Item ids of every local item of the server, whatever its status (read from the rows: no
    /// record is made or decoded).
    std::vector<std::string> getItemIds(const std::string& serverId);
    /// The server's local items in one of these statuses.
    std::vector<std::shared_ptr<LocalItem>> getItemsBySyncStatus(
        const std::string& serverId, const std::vector<SyncJobStatus>& status);
    /// Whether any local item of the server hangs below the item (its record's parent, season,
    /// series or album is the item). Absent, with `error` set, when the store cannot answer.
    std::optional<bool> itemHasChildren(const std::string& serverId, const std::string& itemId,
                                        std::string* error = nullptr);
    /// Deletes, in one pass, the server's folder items that have no children (not saved).
    void deleteEmptyContainers(const std::string& serverId);
    /// Deletes the item (not saved), then the containers it emptied; returns the deleted object.
    std::shared_ptr<LocalItem> deleteLocalItem(const std::string& serverId,
                                               const std::string& itemId);
    /// Marks `item` deleted (not saved); its files and containers are left alone.
    void deleteLocalItem(const std::shared_ptr<LocalItem>& item);

  private:
    void openStore();
    void deleteEmptyContainersInView(const std::string& serverId);
    bool hasStore() const;
    template <class T>
    std::vector<std::shared_ptr<T>> fetchObjects(const FetchRequest& request);
    std::optional<std::vector<StoreRow>> fetchRows(const FetchRequest& request,
                                                   const std::vector<std::string>& properties,
                                                   bool distinct);
    /// The itemId column of the local items `localItemRequest` selects.
    std::vector<std::string> itemIdsOf(const FetchRequest& localItemRequest);

    std::optional<Locations> locations_;
    std::shared_ptr<DispatchQueue> queue_;
    std::once_flag opened_;
    std::shared_ptr<ObjectContext> context_;
};

}  // namespace vk
