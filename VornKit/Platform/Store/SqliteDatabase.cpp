#include "VornKit/Platform/Store/SqliteDatabase.h"

#include <condition_variable>
#include <mutex>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {
/// Log pages after a commit from which the log is copied back into the file (SQLite's own
/// automatic threshold).
constexpr int kCheckpointPages = 1000;
}  // namespace

/// The connection's background checkpoints: at most one posted and one running at a time.
struct SqliteDatabase::Checkpointer : std::enable_shared_from_this<Checkpointer> {
    explicit Checkpointer(std::filesystem::path file)
        : path(std::move(file)), queue(DispatchQueue::makeSerial("vk.sqlite.checkpoint")) {}

    const std::filesystem::path path;
    const std::shared_ptr<DispatchQueue> queue;
    std::mutex mutex;
    std::condition_variable idle;
    bool posted = false;   // a checkpoint waits for its turn on the queue
    bool running = false;  // a checkpoint runs
    bool closed = false;   // the owning connection is going: start no more

    void schedule() {
        {
            std::lock_guard lock(mutex);
            if (posted || closed)
                return;
            posted = true;
        }
        queue->async([self = shared_from_this()] { self->run(); });
    }

    void run() {
        {
            std::lock_guard lock(mutex);
            posted = false;
            if (closed)
                return;
            running = true;
        }
        // A connection of its own: the owner's connection is never used off its queue. A
        // passive checkpoint copies what no reader still needs and leaves the rest for the next
        // one; a failure leaves the log as it is, as safe as before.
        // The connection learns that the file is in WAL mode from its first read.
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr) ==
                SQLITE_OK) {
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        sqlite3_close(db);
        {
            std::lock_guard lock(mutex);
            running = false;
        }
        idle.notify_all();
    }

    /// Starts no more checkpoints and waits for a running one. A posted one that has not started
    /// is not waited for (the process may be exiting, with the pool no longer running jobs).
    void close() {
        std::unique_lock lock(mutex);
        closed = true;
        idle.wait(lock, [&] { return !running; });
    }
};

SqliteDatabase::SqliteDatabase(sqlite3* db, std::filesystem::path path)
    : db_(db), path_(std::move(path)), checkpointer_(std::make_shared<Checkpointer>(path_)) {
    // Replaces SQLite's automatic checkpoint, which runs inside the committing call.
    sqlite3_wal_hook(db_, &SqliteDatabase::walCommitted, checkpointer_.get());
}

int SqliteDatabase::walCommitted(void* checkpointer, sqlite3*, const char*, int pages) {
    if (pages >= kCheckpointPages)
        static_cast<Checkpointer*>(checkpointer)->schedule();
    return SQLITE_OK;
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(statement_);
}

void SqliteStatement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& path,
                                                     std::string* error) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        if (error) {
            *error = db ? sqlite3_errmsg(db) : "cannot open database";
            *error += " (" + path.string() + ")";
        }
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteDatabase> database(new SqliteDatabase(db, path));
    sqlite3_busy_timeout(db, 5000);
    // WAL: readers in other processes go on while one writes; NORMAL sync is safe against process
    // crashes (every commit is in the WAL before the call returns). TEMP tables (the pending view
    // of unsaved changes) live in memory, never in a file.
    if (!database->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                        "PRAGMA cache_size=-32768; PRAGMA temp_store=MEMORY;",
                        error)) {
        return nullptr;
    }
    // A file that is not a database fails on its first read, not on open: read the schema now.
    if (!database->exec("SELECT count(*) FROM sqlite_master;", error)) {
        return nullptr;
    }
    return database;
}

SqliteDatabase::~SqliteDatabase() {
    checkpointer_->close();
    statements_.clear();
    sqlite3_close(db_);
}

bool SqliteDatabase::exec(std::string_view sql, std::string* error) {
    char* message = nullptr;
    std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        if (error) {
            *error = message ? message : sqlite3_errmsg(db_);
        }
        sqlite3_free(message);
        return false;
    }
    return true;
}

SqliteStatement* SqliteDatabase::prepare(const std::string& sql, std::string* error) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) {
        it->second->reset();
        return it->second.get();
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        if (error) {
            *error = sqlite3_errmsg(db_);
        }
        return nullptr;
    }
    auto [inserted, _] = statements_.emplace(sql, std::make_unique<SqliteStatement>(statement));
    return inserted->second.get();
}

bool SqliteDatabase::runToEnd(SqliteStatement* statement, std::string* error) {
    const int rc = sqlite3_step(statement->get());
    statement->reset();
    if (rc != SQLITE_DONE) {
        if (error) {
            *error = sqlite3_errmsg(db_);
        }
        return false;
    }
    return true;
}

std::string SqliteDatabase::lastError() const {
    return sqlite3_errmsg(db_);
}

std::string SqliteDatabase::quoteIdentifier(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

bool SqliteDatabase::backupTo(const std::filesystem::path& destination, std::string* error) {
    sqlite3* target = nullptr;
    if (sqlite3_open_v2(destination.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        if (error) {
            *error = target ? sqlite3_errmsg(target) : "cannot open destination";
        }
        sqlite3_close(target);
        return false;
    }
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", db_, "main");
    bool ok = backup != nullptr;
    if (ok) {
        int rc = sqlite3_backup_step(backup, -1);
        ok = rc == SQLITE_DONE;
        sqlite3_backup_finish(backup);
    }
    if (!ok && error) {
        *error = sqlite3_errmsg(target);
    }
    sqlite3_close(target);
    return ok;
}

}  // namespace vk
