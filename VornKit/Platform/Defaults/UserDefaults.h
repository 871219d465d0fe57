// Persistent key-value settings: the standard store of the application and named suites (the
// application-group suite shared with extensions).
//
// Storage: one JSON file per suite under <config home>/VornKit/<suite>.json, readable by a person
// (UserDefaultsFormat.h). Every change goes through the file under an exclusive lock shared with
// other processes (UserDefaultsFileStore.h), so processes writing different keys lose nothing and
// a crash leaves the old or the new file. Reads come from what this object last read of the file,
// read again whenever the file may have changed (UserDefaultsCache.h). Entries the store does not
// model are kept as they are; a file that is not JSON reads as empty, is logged once, and is kept
// as <file>.corrupt when the next change replaces it.
//
// Observers hear about every change of their key, whoever made it: this object, another object on
// the same file, or another process (noticed by a watch on the file while observers exist, and by
// any read or write). See UserDefaultsObservers.h for delivery and removal.
//
// Thread rule: thread-safe. Observers run on the queue they gave, or inline: on the thread that
// made the change, or for changes found on the file, on the thread that found them (the thread
// that read, or the store's watch thread).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Defaults/UserDefaultsCache.h"
#include "VornKit/Platform/Defaults/UserDefaultsFileStore.h"
#include "VornKit/Platform/Defaults/UserDefaultsObservers.h"
#include "VornKit/Platform/Defaults/UserDefaultsValue.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

class UserDefaultsWatcher;

/// One settings file as typed key-value reads and writes (see the file comment); shared.
class VK_EXPORT UserDefaults {
  public:
    /// The application's standard store (file named after the bundle identifier). Created once.
    static std::shared_ptr<UserDefaults> standard();
    /// The suite `name` (one shared object per name).
    static std::shared_ptr<UserDefaults> suite(const std::string& name);

    /// A store on an explicit file (tests, tools).
    explicit UserDefaults(std::filesystem::path file);
    ~UserDefaults();

    /// The value under `key` as stored, absent when there is none. Never writes the file.
    std::optional<DefaultsValue> object(const std::string& key);
    /// The text under `key`; absent when there is none or it is not text.
    std::optional<std::string> string(const std::string& key);
    /// Absent reads as false; numbers are true when not zero; text is true for "YES"/"true" (any
    /// ASCII letter case) or a number other than zero.
    bool boolean(const std::string& key);
    /// The integer under `key` (a Boolean reads as 0 or 1); absent for other kinds.
    std::optional<std::int64_t> integer(const std::string& key);
    /// The number under `key` (an integer is converted); absent for other kinds.
    std::optional<double> number(const std::string& key);
    /// The bytes under `key`; absent when there are none or the value is not data.
    std::optional<DefaultsData> data(const std::string& key);
    /// The list of texts under `key`; absent when there is none or it is of another kind.
    std::optional<std::vector<std::string>> stringList(const std::string& key);
    /// The dictionary under `key`; absent when there is none or it is of another kind.
    std::optional<DefaultsDictionary> dictionary(const std::string& key);

    /// Stores `value` under `key`. False when the value holds a NaN or infinite number (nothing
    /// is written) or the file could not be written (logged).
    bool set(const std::string& key, DefaultsValue value);
    /// Removes `key` from the file; false when the file could not be written (logged).
    bool remove(const std::string& key);
    /// Reads the file again now; every write already reached the disk.
    bool synchronize();
    /// Whether this object's last read of its file, by any thread, found the file present but
    /// unusable: it could not be opened or read (permissions, I/O error, not a regular file), or
    /// it is not one JSON object. Reads then answer from what was read before, or as empty, so
    /// an absent key does not prove the file lacks it. A missing file is not a failure. Callers
    /// that must tell the two apart (a first-start flag) ask right after their read.
    bool lastReadFailed();

    /// Calls `observer` with the new value (absent when removed) whenever `key` changes.
    std::uint64_t addObserver(const std::string& key, std::shared_ptr<DispatchQueue> queue,
                              DefaultsObserver observer);
    /// After it returns the observer's block is not running on another thread and will not run
    /// again; from inside that block it returns at once.
    void removeObserver(std::uint64_t token);

    /// The file this store reads and writes; fixed for the object's life.
    const std::filesystem::path& file() const { return store_.file(); }

  private:
    bool mutate(const std::string& key, const std::optional<DefaultsValue>& value);
    /// Brings the cache up to date with the file; returns what changed.
    DefaultsChanges refreshLocked(bool force);
    void fileChanged();

    std::mutex mutex_;  // guards store_, cache_ and watcher_
    UserDefaultsFileStore store_;
    UserDefaultsCache cache_;
    UserDefaultsObservers observers_;
    std::unique_ptr<UserDefaultsWatcher> watcher_;
};

}  // namespace vk
