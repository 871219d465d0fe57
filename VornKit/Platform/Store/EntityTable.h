// EntityTable: the SQL of one entity's table in the store file — its column list and the writes a
// save makes: insert a row, update chosen columns of a row, delete a row and clear the to-one
// relationships of other rows that pointed at it. Every statement names the table in the "main"
// schema, so a pending view (PendingView.h) that shadows the table never receives a write.
//
// Thread rule: immutable once built; the database passed in is the caller's (its context queue).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ObjectModel.h"
#include "VornKit/Platform/Store/StoreQuery.h"

namespace vk {

/// The SQL of one entity's table (see the top of this file). Immutable once built.
class VK_EXPORT EntityTable {
  public:
    /// The statements for `entity` of `model`; `entity` must outlive the table.
    EntityTable(const ManagedObjectModel& model, const EntityDescription& entity);

    /// The entity given at construction.
    const EntityDescription& entity() const { return *entity_; }
    /// "Z_PK" then every attribute column, quoted and comma-separated.
    const std::string& selectColumns() const { return selectColumns_; }
    /// Indexes of the to-one attributes that take their destination along on delete.
    const std::vector<size_t>& cascades() const { return cascades_; }

    /// Inserts a row of `values` (one per attribute); its new key, or absent with `error`.
    std::optional<std::int64_t> insert(SqliteDatabase& db, const std::vector<StoreValue>& values,
                                       const RelationKey& key, std::string* error) const;
    /// Sets the attributes `columns` of row `rowKey` to values[columns[n]].
    bool update(SqliteDatabase& db, std::int64_t rowKey, const std::vector<size_t>& columns,
                const std::vector<StoreValue>& values, const RelationKey& key,
                std::string* error) const;
    /// Deletes row `rowKey` and points every relationship that named it at nothing.
    bool remove(SqliteDatabase& db, std::int64_t rowKey, std::string* error) const;

  private:
    const EntityDescription* entity_;
    std::string selectColumns_;
    std::string insert_;
    std::string remove_;
    std::vector<std::string> nullify_;
    std::vector<size_t> cascades_;
};

}  // namespace vk
