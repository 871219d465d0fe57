// StoreQuery: the SQL side of the object store's queries — turns a FetchRequest into a WHERE
// clause with its bound values, binds and reads StoreValues, and reports which attributes a
// condition reads (so the context knows which unsaved attribute changes a query can see).
//
// Lists bind as one JSON array read back with json_each, so their length never meets SQLite's
// limit on bound values and one statement serves every length.
//
// Thread rule: stateless functions; the statements and databases passed in are the caller's.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/FetchRequest.h"
#include "VornKit/Platform/Store/ObjectModel.h"
#include "VornKit/Platform/Store/SqliteDatabase.h"

namespace vk {

/// The key a related object binds as: its row key, a provisional key while it is a pending
/// insertion, or nothing (bound as null).
using RelationKey = std::function<std::optional<std::int64_t>(const ManagedObject&)>;

/// A WHERE clause (" WHERE ...", or empty) and the values for its placeholders, in order.
struct VK_EXPORT CompiledCondition {
    /// The clause, and the values bound to its placeholders in order.
    /// @{
    std::string sql;
    std::vector<StoreValue> values;
    /// @}
};

/// Compiles the request's terms and SQL condition for `entity` of `model`. Absent with `error`
/// set when an attribute is unknown or the placeholders and arguments do not match.
VK_EXPORT std::optional<CompiledCondition> compileCondition(const FetchRequest& request,
                                                            const ManagedObjectModel& model,
                                                            const EntityDescription& entity,
                                                            std::string* error);

/// Binds `value` to placeholder `index` (1-based). Related objects go through `key` (null when
/// absent); a list value (bound as its JSON text) cannot occur here.
int bindStoreValue(sqlite3_stmt* statement, int index, const StoreValue& value,
                   const RelationKey& key = {});
/// Binds every value in order from placeholder 1.
VK_EXPORT void bindStoreValues(sqlite3_stmt* statement, const std::vector<StoreValue>& values);
/// The value of result column `column`.
VK_EXPORT StoreValue readStoreValue(sqlite3_stmt* statement, int column);
/// The values of result columns `first` to `first + count - 1`.
VK_EXPORT std::vector<StoreValue> readStoreValues(sqlite3_stmt* statement, int first, size_t count);

/// Sets `*error` to `text` when the caller asked for errors.
VK_EXPORT void setStoreError(std::string* error, std::string text);

/// The attributes (entity name, attribute index) that `whereClause` reads, found by preparing it
/// against the database's own tables with an authorizer. Call only while no pending view is open
/// (it would hide the tables). Absent with `error` when the clause does not prepare.
VK_EXPORT std::optional<std::vector<std::pair<std::string, size_t>>> attributesRead(
    SqliteDatabase& db, const ManagedObjectModel& model, const EntityDescription& entity,
    const std::string& whereClause, std::string* error);

/// "main"."name": the entity's table in the store file, whatever a pending view shadows.
VK_EXPORT std::string mainTable(const std::string& entityName);

}  // namespace vk
