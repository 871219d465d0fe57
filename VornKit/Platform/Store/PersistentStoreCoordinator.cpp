#include "VornKit/Platform/Store/PersistentStoreCoordinator.h"

#include <fcntl.h>
#include <unistd.h>

#include <set>

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

/// What a file lacks of the model: the statements that add it, and the version it records.
struct SchemaWork {
    std::vector<std::string> statements;
    int fileVersion = 0;
};

/// Reads (never writes) the file's schema and lists what the model needs added.
std::optional<SchemaWork> schemaWork(SqliteDatabase& db, const ManagedObjectModel& model,
                                     std::string* error) {
    SchemaWork work;
    std::set<std::string> tables;
    std::set<std::string> indexes;
    auto* master = db.prepare("SELECT type, name FROM \"main\".sqlite_master;", error);
    if (master == nullptr) {
        return std::nullopt;
    }
    while (sqlite3_step(master->get()) == SQLITE_ROW) {
        const std::string type =
            reinterpret_cast<const char*>(sqlite3_column_text(master->get(), 0));
        const auto* name = sqlite3_column_text(master->get(), 1);
        (type == "index" ? indexes : tables)
            .insert(name ? reinterpret_cast<const char*>(name) : "");
    }
    master->reset();
    if (!tables.count("Z_METADATA")) {
        work.statements.push_back(
            "CREATE TABLE \"main\".\"Z_METADATA\" (\"key\" TEXT PRIMARY KEY, \"value\");");
    } else if (auto* version = db.prepare(
                   "SELECT value FROM \"main\".\"Z_METADATA\" WHERE key='version';", error)) {
        if (sqlite3_step(version->get()) == SQLITE_ROW) {
            work.fileVersion = sqlite3_column_int(version->get(), 0);
        }
        version->reset();
    } else {
        return std::nullopt;
    }
    for (const auto& entity : model.entities()) {
        const std::string table = "\"main\"." + quoted(entity->name);
        std::set<std::string> existing;
        if (tables.count(entity->name)) {
            auto* info =
                db.prepare("PRAGMA \"main\".table_info(" + quoted(entity->name) + ");", error);
            if (info == nullptr) {
                return std::nullopt;
            }
            while (sqlite3_step(info->get()) == SQLITE_ROW) {
                existing.insert(reinterpret_cast<const char*>(sqlite3_column_text(info->get(), 1)));
            }
            info->reset();
        } else {
            work.statements.push_back("CREATE TABLE " + table +
                                      " (\"Z_PK\" INTEGER PRIMARY KEY AUTOINCREMENT);");
            existing.insert("Z_PK");
        }
        for (const auto& a : entity->attributes) {
            if (!existing.count(a.name)) {
                work.statements.push_back("ALTER TABLE " + table + " ADD COLUMN " + quoted(a.name) +
                                          " " + sqlColumnType(a.kind) + ";");
            }
            const std::string index = "Z_" + entity->name + "_" + a.name;
            if (a.indexed && !indexes.count(index)) {
                work.statements.push_back("CREATE INDEX \"main\"." + quoted(index) + " ON " +
                                          quoted(entity->name) + " (" + quoted(a.name) + ");");
            }
        }
    }
    if (work.fileVersion < model.version()) {
        // Recorded only upwards: a file a newer model wrote keeps its version.
        work.statements.push_back(
            "INSERT OR REPLACE INTO \"main\".\"Z_METADATA\" VALUES ('version', " +
            std::to_string(model.version()) + ");");
    }
    return work;
}

/// Makes a rename in `directory` durable.
void syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

PersistentStoreCoordinator::PersistentStoreCoordinator(
    std::shared_ptr<const ManagedObjectModel> model)
    : model_(std::move(model)) {}

bool PersistentStoreCoordinator::prepareSchema(SqliteDatabase& db, std::string* error) const {
    // Opening reads: a file that already has the model's tables, columns and version is not
    // written, so opening works while another process holds the write lock.
    auto work = schemaWork(db, *model_, error);
    if (!work) {
        return false;
    }
    if (work->statements.empty()) {
        return true;
    }
    if (!db.exec("BEGIN IMMEDIATE;", error)) {
        return false;
    }
    // Another process may have brought the file up to date while this one waited for the lock.
    work = schemaWork(db, *model_, error);
    bool ok = work.has_value();
    for (size_t i = 0; ok && i < work->statements.size(); ++i) {
        ok = db.exec(work->statements[i], error);
    }
    if (!ok || !db.exec("COMMIT;", error)) {
        db.exec("ROLLBACK;", nullptr);
        return false;
    }
    return true;
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
    // The copy's name is this process's own: the caller serialises moves between processes, and a
    // copy left by a process that died is never taken for this one.
    const auto temporary = destination.string() + ".migrating-" + std::to_string(::getpid());
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
        std::filesystem::remove(temporary, ec);
        return nullptr;
    }
    syncDirectory(destination.parent_path());
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
