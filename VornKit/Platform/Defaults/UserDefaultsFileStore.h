// The defaults file shared between processes: reading it, and changing it under an exclusive lock
// so that processes writing different keys lose nothing.
//
// Every change takes the lock file beside the store (<file>.lock, flock), reads the file afresh
// through the descriptor it opened (never trusting an earlier read: another process may have
// replaced it within one timestamp tick, with the same length, on a reused inode), applies the
// change and replaces the file atomically (temporary file, fsync, rename, fsync of the folder),
// so a crash leaves the old or the new file. A file that is not one JSON object is copied to
// <file>.corrupt before it is replaced, and logged once for each time it turns unreadable.
//
// Thread rule: externally synchronised (UserDefaults holds its lock around every call).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Defaults/UserDefaultsFormat.h"

namespace vk {

/// How the file looked when it was read: its identity, size and times (nanoseconds).
struct VK_EXPORT DefaultsFileStamp {
    /// Whether the file exists, its device and inode, its size in bytes and its modification and
    /// status-change times (nanoseconds since 1970).
    /// @{
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    /// @}
    /// Same file, same size and times: the file has not visibly changed.
    bool operator==(const DefaultsFileStamp&) const = default;
};

/// One read of the file.
struct VK_EXPORT DefaultsFileSnapshot {
    /// The stamp taken with the read, and the file's text (empty when it does not exist).
    /// @{
    DefaultsFileStamp stamp;
    std::string text;
    /// @}
    /// Absent when the text is not one JSON object (the store reads it as empty).
    std::optional<DefaultsFileContents> contents;
};

/// Reads the defaults file and changes it under the lock shared with other processes (see the top
/// of this file). Externally synchronised.
class VK_EXPORT UserDefaultsFileStore {
  public:
    /// A store for `file`; nothing is read or created until asked.
    explicit UserDefaultsFileStore(std::filesystem::path file);

    /// The defaults file.
    const std::filesystem::path& file() const { return file_; }
    /// Where an unreadable file is copied before it is replaced: `<file>.corrupt`.
    std::filesystem::path corruptCopy() const;

    /// The file's stamp now, by its path.
    DefaultsFileStamp stamp() const;
    /// Reads the file; the stamp comes from the descriptor the text was read through. A missing
    /// file reads as empty. Absent when the file exists but cannot be read (logged).
    std::optional<DefaultsFileSnapshot> read();
    /// Under the lock: reads the file afresh, lets `change` edit its contents and writes the
    /// result. Absent, with the file untouched, when it cannot be locked, read or written
    /// (logged); the snapshot of the written file otherwise.
    std::optional<DefaultsFileSnapshot> update(
        const std::function<void(DefaultsFileContents&)>& change);
    /// Whether the last read of the file (by read(), or the one every update() starts with) found
    /// it present but unusable: it could not be opened or read, or it is not one JSON object. A
    /// missing file is not a failure. False before the first read.
    bool lastReadFailed() const { return lastReadFailed_; }

  private:
    bool writeAtomically(const std::filesystem::path& path, const std::string& text);
    void noteReadable(const DefaultsFileSnapshot& snapshot);

    std::filesystem::path file_;
    bool loggedUnreadable_ = false;
    bool lastReadFailed_ = false;
};

}  // namespace vk
