// Connects an object model to SQLite store files: opens a file (creating it and its tables when
// absent), adds the columns of attributes that the file does not have yet (automatic migration of
// added attributes, recorded as the model version in the file, which only ever rises), and copies
// a store to a new location with SQLite's backup API. Opening a file that is up to date only
// reads it.
//
// The first store added is the one contexts read and write.
//
// Thread rule: persistentStores() and hasStores() are thread-safe; adding and migrating stores is
// done once, at start-up, by the owner. A store's connection is used only from the queue of the
// context attached to the coordinator.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ObjectModel.h"
#include "VornKit/Platform/Store/SqliteDatabase.h"

namespace vk {

/// One open store file.
struct VK_EXPORT PersistentStore {
    /// The file's path.
    std::filesystem::path location;
    /// The connection; used only from the queue of the context attached to the coordinator.
    std::unique_ptr<SqliteDatabase> database;
};

/// Opens store files for one object model and brings their schema up to it (see the top of this
/// file). Shared by the contexts of that model.
class VK_EXPORT PersistentStoreCoordinator {
  public:
    /// A coordinator for `model` (not null), without stores.
    explicit PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model);

    /// The model given at construction.
    const std::shared_ptr<const ManagedObjectModel>& model() const { return model_; }

    /// Opens the SQLite file at `location` and brings its schema up to the model. Returns the
    /// store, or nullptr with `error` describing why.
    std::shared_ptr<PersistentStore> addSqliteStore(const std::filesystem::path& location,
                                                    std::string* error);
    /// The store added for `location`, if any.
    std::shared_ptr<PersistentStore> store(const std::filesystem::path& location) const;
    /// The stores added, in order (the first is the one contexts use). Thread-safe.
    std::vector<std::shared_ptr<PersistentStore>> persistentStores() const;
    /// Whether any store has been added. Thread-safe.
    bool hasStores() const;

    /// Copies `store` to `destination` (through a temporary file renamed into place) and puts the
    /// copy in its place; the old file stays. Returns the new store, or nullptr with `error` (the
    /// old store then stays in use). Processes that may move the same store at once must hold a
    /// lock around the check for `destination` and this call (see StoreMoveLock.h).
    std::shared_ptr<PersistentStore> migrateStore(const std::shared_ptr<PersistentStore>& store,
                                                  const std::filesystem::path& destination,
                                                  std::string* error);

  private:
    bool prepareSchema(SqliteDatabase& database, std::string* error) const;

    std::shared_ptr<const ManagedObjectModel> model_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PersistentStore>> stores_;
};

}  // namespace vk
