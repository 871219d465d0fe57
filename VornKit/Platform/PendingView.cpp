#include "VornKit/Platform/PendingView.h"

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

std::string pendingTable(const std::string& entity) {
    return "\"temp\"." + quoted("vk_pending_" + entity);
}

std::string hiddenTable(const std::string& entity) {
    return "\"temp\"." + quoted("vk_hidden_" + entity);
}

bool run(SqliteDatabase& db, const std::string& sql, std::int64_t rowKey, std::string* error) {
    auto* statement = db.prepare(sql, error);
    if (!statement) {
        return false;
    }
    sqlite3_bind_int64(statement->get(), 1, rowKey);
    return db.runToEnd(statement, error);
}

}  // namespace

bool PendingView::shadow(SqliteDatabase& db, const EntityDescription& entity, std::string* error) {
    if (shadowed_.count(entity.name)) {
        return true;
    }
    std::string columns = "\"Z_PK\"";
    std::string definitions = "\"Z_PK\" INTEGER PRIMARY KEY";
    for (const auto& a : entity.attributes) {
        columns += "," + quoted(a.name);
        definitions += "," + quoted(a.name) + " " + sqlColumnType(a.kind);
    }
    if (!tablesMade_.count(entity.name)) {
        if (!db.exec("CREATE TEMP TABLE IF NOT EXISTS " + quoted("vk_pending_" + entity.name) +
                         " (" + definitions + ");" + "CREATE TEMP TABLE IF NOT EXISTS " +
                         quoted("vk_hidden_" + entity.name) + " (\"k\" INTEGER PRIMARY KEY);",
                     error)) {
            return false;
        }
        tablesMade_.insert(entity.name);
    }
    if (!db.exec("CREATE TEMP VIEW " + quoted(entity.name) + " AS SELECT " + columns + " FROM " +
                     mainTable(entity.name) + " WHERE \"Z_PK\" NOT IN (SELECT \"k\" FROM " +
                     hiddenTable(entity.name) + ") UNION ALL SELECT " + columns + " FROM " +
                     pendingTable(entity.name) + ";",
                 error)) {
        return false;
    }
    shadowed_.insert(entity.name);
    return true;
}

bool PendingView::addRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                         const std::vector<StoreValue>& values, const RelationKey& key,
                         std::string* error) {
    if (!shadow(db, entity, error)) {
        return false;
    }
    std::string sql = "INSERT OR REPLACE INTO " + pendingTable(entity.name) + " VALUES (?";
    for (size_t i = 0; i < entity.attributes.size(); ++i) {
        sql += ",?";
    }
    sql += ");";
    auto* statement = db.prepare(sql, error);
    if (!statement) {
        return false;
    }
    sqlite3_bind_int64(statement->get(), 1, rowKey);
    for (size_t i = 0; i < values.size(); ++i) {
        bindStoreValue(statement->get(), static_cast<int>(i + 2), values[i], key);
    }
    return db.runToEnd(statement, error);
}

bool PendingView::removeRow(SqliteDatabase& db, const EntityDescription& entity,
                            std::int64_t rowKey, std::string* error) {
    if (!tablesMade_.count(entity.name)) {
        return true;
    }
    return run(db, "DELETE FROM " + pendingTable(entity.name) + " WHERE \"Z_PK\"=?;", rowKey,
               error);
}

bool PendingView::hide(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                       std::string* error) {
    return shadow(db, entity, error) &&
           run(db, "INSERT OR IGNORE INTO " + hiddenTable(entity.name) + " VALUES (?);", rowKey,
               error);
}

void PendingView::close(SqliteDatabase& db) {
    for (const auto& name : shadowed_) {
        db.exec("DROP VIEW IF EXISTS \"temp\"." + quoted(name) + ";DELETE FROM " +
                    pendingTable(name) + ";DELETE FROM " + hiddenTable(name) + ";",
                nullptr);
    }
    shadowed_.clear();
}

}  // namespace vk
