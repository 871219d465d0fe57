// Persistent key-value settings: the standard store of the application and named suites (the
// application-group suite shared with extensions).
//
// Storage: one JSON file per suite under <config home>/VornKit/<suite>.json, readable by a person.
// Every write takes an exclusive file lock, re-reads the file, applies its one change and replaces
// the file atomically (temporary file, fsync, rename), so processes writing different keys lose
// nothing and a crash leaves the old or the new file. Reads see other processes' writes: the file
// is re-read when it changed on disk. A file that does not parse reads as empty, is logged once,
// and is replaced by the next write.
//
// Thread rule: thread-safe. Observers run on the queue they gave, or inline on the thread that
// made the change (for changes by other processes: the thread whose read noticed them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "VornKit/Platform/Dispatch.h"

namespace vk {

struct DefaultsValue;
using DefaultsData = std::vector<std::uint8_t>;
using DefaultsDictionary = std::map<std::string, DefaultsValue>;

/// One stored value: text, Boolean, integer, double, data, list of text or dictionary.
struct DefaultsValue {
    std::variant<std::string, bool, std::int64_t, double, DefaultsData, std::vector<std::string>,
                 DefaultsDictionary>
        value;

    DefaultsValue() = default;
    template <class T>
    DefaultsValue(T v) : value(std::move(v)) {}              // NOLINT: implicit by design
    DefaultsValue(const char* v) : value(std::string(v)) {}  // NOLINT
    DefaultsValue(int v) : value(std::int64_t{v}) {}         // NOLINT

    bool operator==(const DefaultsValue& other) const;
};

using DefaultsObserver = std::function<void(const std::optional<DefaultsValue>&)>;

class UserDefaults {
  public:
    /// The application's standard store (file named after the bundle identifier). Created once.
    static std::shared_ptr<UserDefaults> standard();
    /// The suite `name` (one shared object per name).
    static std::shared_ptr<UserDefaults> suite(const std::string& name);

    /// A store on an explicit file (tests, tools).
    explicit UserDefaults(std::filesystem::path file);
    ~UserDefaults();

    std::optional<DefaultsValue> object(const std::string& key);
    std::optional<std::string> string(const std::string& key);
    /// Absent reads as false; numbers are true when not zero; text is true for "YES"/"true" (any
    /// case) or a number other than zero.
    bool boolean(const std::string& key);
    std::optional<std::int64_t> integer(const std::string& key);
    std::optional<double> number(const std::string& key);
    std::optional<DefaultsData> data(const std::string& key);
    std::optional<std::vector<std::string>> stringList(const std::string& key);
    std::optional<DefaultsDictionary> dictionary(const std::string& key);

    /// Stores `value` under `key`. Returns false when the file could not be written (logged).
    bool set(const std::string& key, DefaultsValue value);
    bool remove(const std::string& key);
    /// Forces the file to disk; every write already does, so this only re-reads.
    bool synchronize();

    /// Calls `observer` with the new value (absent when removed) whenever `key` changes.
    std::uint64_t addObserver(const std::string& key, std::shared_ptr<DispatchQueue> queue,
                              DefaultsObserver observer);
    void removeObserver(std::uint64_t token);

    const std::filesystem::path& file() const { return file_; }

  private:
    struct Observer;
    void reloadIfChangedLocked();
    bool mutate(const std::string& key, const std::optional<DefaultsValue>& value);
    void notify(const std::vector<std::pair<std::string, std::optional<DefaultsValue>>>& changes);

    std::filesystem::path file_;
    std::mutex mutex_;
    DefaultsDictionary values_;
    struct FileStamp {
        std::uint64_t inode = 0;
        std::int64_t mtimeNs = 0;
        std::int64_t size = -1;
        bool operator==(const FileStamp&) const = default;
    } stamp_;
    bool loggedCorrupt_ = false;
    std::vector<std::shared_ptr<Observer>> observers_;
    std::uint64_t nextObserver_ = 1;
};

}  // namespace vk
