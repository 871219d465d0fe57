// What a user-defaults store last read of its file, and whether that may still be used.
//
// A read compares the file's stamp (identity, size, times) with the one the cache was filled
// from. An equal stamp proves nothing while the file is younger than the file system's timestamp
// granularity was at the time of reading: another process may replace it within the same tick
// with the same length on a reused inode. Such a cache is checked again by reading the file
// (and comparing its text) until a read finds the file old enough to trust its stamp.
//
// Thread rule: externally synchronised (UserDefaults holds its lock around every call).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Defaults/UserDefaultsFileStore.h"

namespace vk {

/// Keys whose values changed, with the new value (absent when removed).
using DefaultsChanges = std::vector<std::pair<std::string, std::optional<DefaultsValue>>>;

/// What a user-defaults store last read of its file (see the top of this file). Externally
/// synchronised.
class VK_EXPORT UserDefaultsCache {
  public:
    /// Whether the cached contents stand for a file whose stamp is `now`.
    bool isCurrent(const DefaultsFileStamp& now) const;
    /// Takes what a read or write of the file found; an unreadable file counts as empty.
    /// Returns the values that changed against the previous contents.
    DefaultsChanges take(DefaultsFileSnapshot snapshot);
    /// Makes the next read go to the file.
    void invalidate() { filled_ = false; }

    /// The values last taken (empty before the first take()).
    const DefaultsDictionary& values() const { return contents_.values; }

  private:
    bool filled_ = false;
    bool trusted_ = false;  // the stamp alone tells whether the file changed
    DefaultsFileStamp stamp_;
    std::string text_;
    DefaultsFileContents contents_;
};

}  // namespace vk
