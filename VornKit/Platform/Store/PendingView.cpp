#include "VornKit/Platform/Store/PendingView.h"

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

bool PendingView::open(SqliteDatabase& db,
                       const std::vector<std::shared_ptr<ManagedObject>>& inserted,
                       const std::vector<std::shared_ptr<ManagedObject>>& deleted,
                       const std::vector<ManagedObject*>& changed, const Source& source,
                       std::string* error) {
    std::int64_t next = -1;
    for (const auto& object : inserted) {
        provisionalKeys_[object.get()] = next;
        insertions_[next] = object.get();
        --next;
    }
    bool ok = true;
    for (const auto& object : inserted) {
        ok = ok && addRow(db, source.entity(*object), provisionalKeys_[object.get()],
                          source.values(*object), error);
    }
    for (const auto& object : deleted) {
        ok = ok && hide(db, source.entity(*object), object->primaryKey(), error);
    }
    for (auto* object : changed) {
        const auto& entity = source.entity(*object);
        ok = ok && hide(db, entity, object->primaryKey(), error) &&
             addRow(db, entity, object->primaryKey(), source.values(*object), error);
    }
    if (!ok) {
        close(db);
    }
    return ok;
}

std::optional<std::int64_t> PendingView::keyOf(const ManagedObject& object) const {
    if (object.isDeleted()) {
        return std::nullopt;
    }
    if (object.primaryKey() > 0) {
        return object.primaryKey();
    }
    auto found = provisionalKeys_.find(&object);
    return found == provisionalKeys_.end() ? std::nullopt : std::optional(found->second);
}

ManagedObject* PendingView::insertion(std::int64_t key) const {
    auto found = insertions_.find(key);
    return found == insertions_.end() ? nullptr : found->second;
}

bool PendingView::remove(SqliteDatabase& db, const EntityDescription& entity,
                         const ManagedObject& object, std::string* error) {
    if (auto key = provisionalKeys_.find(&object); key != provisionalKeys_.end()) {
        const std::int64_t provisional = key->second;
        insertions_.erase(provisional);
        provisionalKeys_.erase(key);
        return removeRow(db, entity, provisional, error);
    }
    if (object.primaryKey() <= 0) {
        return true;  // inserted after the view opened: never in it
    }
    // A changed object also has a pending row under its own key.
    return hide(db, entity, object.primaryKey(), error) &&
           removeRow(db, entity, object.primaryKey(), error);
}

bool PendingView::addRow(SqliteDatabase& db, const EntityDescription& entity, std::int64_t rowKey,
                         const std::vector<StoreValue>& values, std::string* error) {
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
        bindStoreValue(statement->get(), static_cast<int>(i + 2), values[i],
                       [this](const ManagedObject& o) { return keyOf(o); });
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
    provisionalKeys_.clear();
    insertions_.clear();
}

}  // namespace vk
