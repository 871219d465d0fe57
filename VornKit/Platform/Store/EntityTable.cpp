#include "VornKit/Platform/Store/EntityTable.h"

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

}  // namespace

EntityTable::EntityTable(const ManagedObjectModel& model, const EntityDescription& entity)
    : entity_(&entity) {
    const std::string table = mainTable(entity.name);
    std::string columns;
    std::string placeholders;
    for (size_t i = 0; i < entity.attributes.size(); ++i) {
        columns += (i ? "," : "") + quoted(entity.attributes[i].name);
        placeholders += i ? ",?" : "?";
        if (entity.attributes[i].cascadeDelete) {
            cascades_.push_back(i);
        }
    }
    insert_ = entity.attributes.empty()
                  ? "INSERT INTO " + table + " DEFAULT VALUES;"
                  : "INSERT INTO " + table + " (" + columns + ") VALUES (" + placeholders + ");";
    selectColumns_ = "\"Z_PK\"" + std::string(columns.empty() ? "" : ",") + columns;
    remove_ = "DELETE FROM " + table + " WHERE \"Z_PK\"=?;";
    for (const auto& other : model.entities()) {
        for (const auto& a : other->attributes) {
            if (a.kind == AttributeKind::ToOne && a.destinationEntity == entity.name) {
                nullify_.push_back("UPDATE " + mainTable(other->name) + " SET " + quoted(a.name) +
                                   "=NULL WHERE " + quoted(a.name) + "=?;");
            }
        }
    }
}

std::optional<std::int64_t> EntityTable::insert(SqliteDatabase& db,
                                                const std::vector<StoreValue>& values,
                                                const RelationKey& key, std::string* error) const {
    auto* statement = db.prepare(insert_, error);
    if (!statement) {
        return std::nullopt;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        bindStoreValue(statement->get(), static_cast<int>(i + 1), values[i], key);
    }
    if (!db.runToEnd(statement, error)) {
        return std::nullopt;
    }
    return sqlite3_last_insert_rowid(db.handle());
}

bool EntityTable::update(SqliteDatabase& db, std::int64_t rowKey,
                         const std::vector<size_t>& columns, const std::vector<StoreValue>& values,
                         const RelationKey& key, std::string* error) const {
    std::string sql = "UPDATE " + mainTable(entity_->name) + " SET ";
    for (size_t c = 0; c < columns.size(); ++c) {
        sql += (c ? "," : "") + quoted(entity_->attributes[columns[c]].name) + "=?";
    }
    sql += " WHERE \"Z_PK\"=?;";
    auto* statement = db.prepare(sql, error);
    if (!statement) {
        return false;
    }
    int index = 1;
    for (size_t c : columns) {
        bindStoreValue(statement->get(), index++, values[c], key);
    }
    sqlite3_bind_int64(statement->get(), index, rowKey);
    return db.runToEnd(statement, error);
}

bool EntityTable::remove(SqliteDatabase& db, std::int64_t rowKey, std::string* error) const {
    std::vector<const std::string*> statements{&remove_};
    for (const auto& n : nullify_) {
        statements.push_back(&n);
    }
    for (const auto* text : statements) {
        auto* statement = db.prepare(*text, error);
        if (!statement) {
            return false;
        }
        sqlite3_bind_int64(statement->get(), 1, rowKey);
        if (!db.runToEnd(statement, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace vk
