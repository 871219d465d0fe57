// PrivateFiles: this user's own files and folders in places other users can write to (the
// system's temporary directory), made so that no one else can redirect or swap them. A folder
// must be a real folder owned by this user, with mode 0700; a file is written without following a
// symbolic link, so a link another user planted at its name is refused, never written through.
//
// Thread rule: thread-safe (no state; each call works on the paths it is given).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

/// Files and folders of this user's in shared places (see the file comment). Thread-safe.
class VK_EXPORT PrivateFiles {
  public:
    /// Writes `bytes` to `path`: a new file gets mode 0600, a regular file already there is
    /// emptied and rewritten. False, with `error` set, when `path` is a symbolic link or not a
    /// regular file, or on any I/O error.
    static bool write(const std::filesystem::path& path, std::string_view bytes,
                      std::string* error = nullptr);
    /// Writes all of `bytes` to the open descriptor `fd`, going on after interruptions. False
    /// (errno set) on an error or a write that makes no progress.
    static bool writeAll(int fd, std::string_view bytes);
    /// Appends to `bytes` everything the open descriptor `fd` gives until its end, going on after
    /// interruptions. False (errno set) on a read error; what was read before it stays in `bytes`.
    static bool readAll(int fd, std::string& bytes);
    /// `path` as a folder of this user's that no one else may enter: made (mode 0700, its
    /// parents as needed) when absent; when it is already this user's, its mode is narrowed to
    /// 0700. Absent, with `error` set, when it is a symbolic link, not a folder, another user's,
    /// or cannot be made.
    static std::optional<std::filesystem::path> folder(const std::filesystem::path& path,
                                                       std::string* error = nullptr);
    /// A new folder named `<prefix>-` and six random characters, mode 0700 (its parent made as
    /// needed). Absent when it cannot be made.
    static std::optional<std::filesystem::path> uniqueFolder(const std::filesystem::path& prefix);
};

}  // namespace vk
