#include "VornKit/Platform/PersistentStoreCoordinator.h"

#include <set>

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

const char* columnType(AttributeKind kind) {
    switch (kind) {
        case AttributeKind::Integer16:
        case AttributeKind::Integer32:
        case AttributeKind::Integer64:
        case AttributeKind::Boolean:
        case AttributeKind::ToOne:
            return "INTEGER";
        case AttributeKind::Float:
        case AttributeKind::Double:
        case AttributeKind::Date:
            return "REAL";
        case AttributeKind::String:
            return "TEXT";
        case AttributeKind::Transformable:
            return "BLOB";
    }
    return "BLOB";
}

}  // namespace

PersistentStoreCoordinator::PersistentStoreCoordinator(
    std::shared_ptr<const ManagedObjectModel> model)
    : model_(std::move(model)) {}

bool PersistentStoreCoordinator::prepareSchema(SqliteDatabase& db, std::string* error) const {
    if (!db.exec("BEGIN IMMEDIATE;", error)) {
        return false;
    }
    auto fail = [&] {
        db.exec("ROLLBACK;", nullptr);
        return false;
    };
    if (!db.exec("CREATE TABLE IF NOT EXISTS \"Z_METADATA\" (\"key\" TEXT PRIMARY KEY, \"value\");",
                 error)) {
        return fail();
    }
    for (const auto& entity : model_->entities()) {
        const std::string table = quoted(entity->name);
        std::string create =
            "CREATE TABLE IF NOT EXISTS " + table + " (\"Z_PK\" INTEGER PRIMARY KEY AUTOINCREMENT";
        for (const auto& a : entity->attributes) {
            create += ", " + quoted(a.name) + " " + columnType(a.kind);
        }
        create += ");";
        if (!db.exec(create, error)) {
            return fail();
        }
        // Columns for attributes added since the file was made.
        std::set<std::string> existing;
        auto* info = db.prepare("PRAGMA table_info(" + table + ");", error);
        if (info == nullptr) {
            return fail();
        }
        while (sqlite3_step(info->get()) == SQLITE_ROW) {
            existing.insert(reinterpret_cast<const char*>(sqlite3_column_text(info->get(), 1)));
        }
        info->reset();
        for (const auto& a : entity->attributes) {
            if (!existing.count(a.name) &&
                !db.exec("ALTER TABLE " + table + " ADD COLUMN " + quoted(a.name) + " " +
                             columnType(a.kind) + ";",
                         error)) {
                return fail();
            }
            if (a.indexed && !db.exec("CREATE INDEX IF NOT EXISTS " +
                                          quoted("Z_" + entity->name + "_" + a.name) + " ON " +
                                          table + " (" + quoted(a.name) + ");",
                                      error)) {
                return fail();
            }
        }
    }
    if (!db.exec("INSERT OR REPLACE INTO \"Z_METADATA\" VALUES ('version', " +
                     std::to_string(model_->version()) + ");",
                 error)) {
        return fail();
    }
    return db.exec("COMMIT;", error) || fail();
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::addSqliteStore(
    const std::filesystem::path& location, std::string* error) {
    if (auto existing = store(location)) {
        return existing;
    }
    std::error_code ec;
    std::filesystem::create_directories(location.parent_path(), ec);
    auto database = SqliteDatabase::open(location, error);
    if (!database || !prepareSchema(*database, error)) {
        return nullptr;
    }
    auto added = std::make_shared<PersistentStore>(PersistentStore{location, std::move(database)});
    std::lock_guard lock(mutex_);
    stores_.push_back(added);
    return added;
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::store(
    const std::filesystem::path& location) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : stores_) {
        if (s->location == location) {
            return s;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<PersistentStore>> PersistentStoreCoordinator::persistentStores() const {
    std::lock_guard lock(mutex_);
    return stores_;
}

bool PersistentStoreCoordinator::hasStores() const {
    std::lock_guard lock(mutex_);
    return !stores_.empty();
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::migrateStore(
    const std::shared_ptr<PersistentStore>& from, const std::filesystem::path& destination,
    std::string* error) {
    if (!from || !from->database) {
        if (error) {
            *error = "no such store";
        }
        return nullptr;
    }
    // Write the copy beside the destination and rename it into place, so a crash never leaves a
    // half-copied store where the next start would open it.
    std::error_code ec;
    std::filesystem::create_directories(destination.parent_path(), ec);
    const auto temporary = destination.string() + ".migrating";
    std::filesystem::remove(temporary, ec);
    if (!from->database->backupTo(temporary, error)) {
        std::filesystem::remove(temporary, ec);
        return nullptr;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        std::filesystem::remove(destination.string() + suffix, ec);
    }
    std::filesystem::rename(temporary, destination, ec);
    if (ec) {
        if (error) {
            *error = ec.message();
        }
        return nullptr;
    }
    auto database = SqliteDatabase::open(destination, error);
    if (!database || !prepareSchema(*database, error)) {
        return nullptr;
    }
    auto migrated =
        std::make_shared<PersistentStore>(PersistentStore{destination, std::move(database)});
    std::lock_guard lock(mutex_);
    for (auto& s : stores_) {
        if (s == from) {
            s = migrated;
            return migrated;
        }
    }
    stores_.push_back(migrated);
    return migrated;
}

}  // namespace vk
