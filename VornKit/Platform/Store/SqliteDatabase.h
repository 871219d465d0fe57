// A thin owner of one SQLite connection: open with the pragmas the object store relies on (WAL,
// foreign keys off, busy timeout), prepared statements cached by SQL text, transactions, and
// SQLite's backup API for copying a whole database file.
//
// Checkpoints: a commit that leaves 1,000 pages or more in the write-ahead log has the log copied
// back into the database file on a serial queue of the connection's own, through a connection of
// its own (a passive checkpoint: it never blocks this connection's reads or writes), instead of
// in the committing call. The log stays the crash-safe record until its pages are in the file;
// destroying the object waits for a checkpoint that is running.
//
// Thread rule: externally synchronised; one connection is used by one queue at a time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "VornKit/Export.h"

namespace vk {

/// Owns one prepared statement; finalizes it on destruction. Externally synchronised, like its
/// connection.
class VK_EXPORT SqliteStatement {
  public:
    /// Takes ownership of `statement` (from sqlite3_prepare_v2).
    explicit SqliteStatement(sqlite3_stmt* statement) : statement_(statement) {}
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    /// The statement, for binding and stepping with SQLite's API; owned by this object.
    sqlite3_stmt* get() const { return statement_; }
    /// Clears bindings and resets for the next use.
    void reset();

  private:
    sqlite3_stmt* statement_;
};

/// Owns one SQLite connection opened with the object store's pragmas, and caches its prepared
/// statements. Externally synchronised: one queue at a time.
class VK_EXPORT SqliteDatabase {
  public:
    /// Opens (creating when absent) the file. Absent with `error` set on failure.
    static std::unique_ptr<SqliteDatabase> open(const std::filesystem::path& path,
                                                std::string* error);
    ~SqliteDatabase();

    /// The connection, for SQLite calls not wrapped here; owned by this object.
    sqlite3* handle() const { return db_; }
    /// The file the connection was opened on.
    const std::filesystem::path& path() const { return path_; }

    /// Runs statements without results. False with `error` set on failure.
    bool exec(std::string_view sql, std::string* error);
    /// A cached prepared statement, reset and unbound; nullptr with `error` on failure.
    SqliteStatement* prepare(const std::string& sql, std::string* error);
    /// Steps a bound statement without results to its end and resets it. False with `error` set
    /// on failure.
    bool runToEnd(SqliteStatement* statement, std::string* error);
    /// SQLite's message for the connection's last failed call.
    std::string lastError() const;
    /// `name` as an SQL identifier: in double quotes, inner quotes doubled.
    static std::string quoteIdentifier(const std::string& name);

    /// Copies this whole database into `destination` (created or replaced) with the backup API.
    bool backupTo(const std::filesystem::path& destination, std::string* error);

  private:
    struct Checkpointer;
    SqliteDatabase(sqlite3* db, std::filesystem::path path);
    static int walCommitted(void* checkpointer, sqlite3* db, const char* name, int pages);

    sqlite3* db_;
    std::filesystem::path path_;
    std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> statements_;
    std::shared_ptr<Checkpointer> checkpointer_;  ///< shared with the checkpoint it schedules
};

}  // namespace vk
