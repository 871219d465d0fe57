// PendingView: lets the store's SQL queries see a context's unsaved changes without writing to
// the store file.
//
// For each entity with unsaved changes it keeps two TEMP tables in memory — the rows of pending
// objects (insertions under negative provisional keys, changed objects under their own keys) and
// the keys of stored rows to hide (deleted and changed objects) — and, while open, a TEMP view
// with the entity's name over both, which shadows the stored table for every query that names the
// table without a schema. The store file is only read: queries go on while another process holds
// its write lock. Writes name the "main" schema and never reach the view.
//
// Thread rule: bound to the connection's queue (the context's).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ManagedObject.h"
#include "VornKit/Platform/Store/ObjectModel.h"
#include "VornKit/Platform/Store/StoreQuery.h"

namespace vk {

/// Lets the store's queries see a context's unsaved changes through TEMP tables and views, without
/// writing to the store file (see the top of this file). Bound to the context's queue.
class VK_EXPORT PendingView {
  public:
    /// What the view needs of the context's objects: their entity and their current row values.
    struct Source {
        /// The entity of an object, and its current column values in the entity's attribute order.
        /// @{
        std::function<const EntityDescription&(const ManagedObject&)> entity;
        std::function<std::vector<StoreValue>(const ManagedObject&)> values;
        /// @}
    };

    /// Shows the pending state to queries: `inserted` under provisional keys -1, -2, ... in that
    /// order, `deleted` hidden, `changed` (saved objects) with their current values. False with
    /// `error` (and the view closed) when the tables cannot be filled.
    bool open(SqliteDatabase& db, const std::vector<std::shared_ptr<ManagedObject>>& inserted,
              const std::vector<std::shared_ptr<ManagedObject>>& deleted,
              const std::vector<ManagedObject*>& changed, const Source& source, std::string* error);
    /// How a related object binds while the view is open: its key, its provisional key, or null.
    std::optional<std::int64_t> keyOf(const ManagedObject& object) const;
    /// The pending insertion under a provisional key, or nullptr.
    ManagedObject* insertion(std::int64_t key) const;
    /// Takes an object deleted while the view is open out of it.
    bool remove(SqliteDatabase& db, const EntityDescription& entity, const ManagedObject& object,
                std::string* error);
    /// Drops the views and empties the tables: queries read the stored tables again.
    void close(SqliteDatabase& db);

  private:
    bool addRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                const std::vector<StoreValue>& values, std::string* error);
    bool removeRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                   std::string* error);
    bool hide(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
              std::string* error);
    /// Creates the entity's tables (once per connection) and its view (once per opening).
    bool shadow(SqliteDatabase& db, const EntityDescription& entity, std::string* error);

    std::set<std::string> tablesMade_;
    std::set<std::string> shadowed_;
    std::unordered_map<const ManagedObject*, std::int64_t> provisionalKeys_;
    std::unordered_map<std::int64_t, ManagedObject*> insertions_;
};

}  // namespace vk
