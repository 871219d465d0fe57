// Files and folders under the application's documents directory, where downloads live. Paths
// given to the instance operations are relative to the documents directory.
//
// Paths that would lead outside the documents directory (a ".." component that climbs above it)
// are refused: the operation logs "Refusing path outside the documents directory: <path>" and
// answers false or nothing. Nothing here throws; failures are logged to the console log.
//
// Thread rule: thread-safe; every operation is a synchronous file-system call. rootDocsPath() is
// computed once per process.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// What the file system says of one entry (links are not followed).
struct VK_EXPORT FileAttributes {
    /// What kind of entry it is.
    enum class Type { Regular, Directory, SymbolicLink, Other };
    /// What the entry is, its size in bytes, when it was last modified and its permission bits.
    /// @{
    Type type = Type::Other;
    std::uint64_t size = 0;
    std::chrono::system_clock::time_point modificationDate;
    std::uint32_t posixPermissions = 0;
    /// @}
};

/// Files under the documents directory, named by paths relative to it; thread-safe.
class VK_EXPORT FileSystem {
  public:
    FileSystem() = default;

    /// The documents directory (absolute), resolved on first use and kept for the process.
    static const std::string& rootDocsPath();
    /// rootDocsPath() joined with `relativePath` as a path component.
    static std::string getFileSystemPath(const std::string& relativePath);
    /// True unless `path` begins with rootDocsPath().
    static bool isPathRelative(const std::string& path);

    /// True when a non-folder exists at the resolved path.
    bool fileExists(const std::string& relativePath) const;
    /// The attributes of the entry at the resolved path; absent (logged) when it cannot be read.
    std::optional<FileAttributes> getFileAttributes(const std::string& relativePath) const;
    /// Creates the folder and any missing parents.
    bool createDirectory(const std::string& relativePath) const;
    /// Removes a file or an empty folder; a folder with entries is never removed.
    bool deleteFile(const std::string& relativePath) const;
};

}  // namespace vk
