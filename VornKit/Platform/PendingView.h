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
#include <set>
#include <string>
#include <vector>

#include "VornKit/Platform/ObjectModel.h"
#include "VornKit/Platform/StoreQuery.h"

namespace vk {

class PendingView {
  public:
    bool isOpen() const { return !shadowed_.empty(); }

    /// Adds a pending row (one value per attribute) under `rowKey`.
    bool addRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                const std::vector<StoreValue>& values, const RelationKey& key, std::string* error);
    /// Removes the pending row under `rowKey`, if any.
    bool removeRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                   std::string* error);
    /// Hides the stored row `rowKey` from queries.
    bool hide(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
              std::string* error);
    /// Drops the views and empties the tables: queries read the stored tables again.
    void close(SqliteDatabase& db);

  private:
    /// Creates the entity's tables (once per connection) and its view (once per opening).
    bool shadow(SqliteDatabase& db, const EntityDescription& entity, std::string* error);

    std::set<std::string> tablesMade_;
    std::set<std::string> shadowed_;
};

}  // namespace vk
