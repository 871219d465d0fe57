#include "VornKit/Offline/FileSystem.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr const char* kCategory = "FileSystem";

/// The resolved path, or nothing (logged) when it climbs out of the documents directory.
std::optional<std::string> resolveInside(const std::string& relativePath) {
    const std::filesystem::path root(FileSystem::rootDocsPath());
    const auto resolved = std::filesystem::path(FileSystem::getFileSystemPath(relativePath));
    const auto normal = resolved.lexically_normal();
    const auto fromRoot = normal.lexically_relative(root.lexically_normal());
    if (fromRoot.empty() || *fromRoot.begin() == "..") {
        consoleLog(kCategory, "Refusing path outside the documents directory: %s",
                   resolved.c_str());
        return std::nullopt;
    }
    return resolved.string();
}

}  // namespace

const std::string& FileSystem::rootDocsPath() {
    static const Immortal<std::string> root(std::in_place, [] {
        auto documents = Directories::documents();
        return documents ? documents->string() : std::string();
    });
    return *root;
}

std::string FileSystem::getFileSystemPath(const std::string& relativePath) {
    std::string root = rootDocsPath();
    if (relativePath.empty()) {
        return root;
    }
    // Joined as one path component: a leading separator does not replace the root.
    if (!root.empty() && root.back() != '/' && relativePath.front() != '/') {
        root.push_back('/');
    }
    if (!root.empty() && root.back() == '/' && relativePath.front() == '/') {
        root.pop_back();
    }
    return root + relativePath;
}

bool FileSystem::isPathRelative(const std::string& path) {
    return path.rfind(rootDocsPath(), 0) != 0;
}

bool FileSystem::fileExists(const std::string& relativePath) const {
    auto path = resolveInside(relativePath);
    std::error_code ec;
    return path && std::filesystem::exists(*path, ec) && !std::filesystem::is_directory(*path, ec);
}

std::optional<FileAttributes> FileSystem::getFileAttributes(const std::string& relativePath) const {
    auto path = resolveInside(relativePath);
    if (!path) {
        return std::nullopt;
    }
    struct stat st {};
    if (::lstat(path->c_str(), &st) != 0) {
        std::error_code ec(errno, std::generic_category());
        consoleLog(kCategory, "File Attributes Error for item at path %s: --- %s", path->c_str(),
                   ec.message().c_str());
        return std::nullopt;
    }
    FileAttributes attributes;
    attributes.type = S_ISREG(st.st_mode)   ? FileAttributes::Type::Regular
                      : S_ISDIR(st.st_mode) ? FileAttributes::Type::Directory
                      : S_ISLNK(st.st_mode) ? FileAttributes::Type::SymbolicLink
                                            : FileAttributes::Type::Other;
    attributes.size = static_cast<std::uint64_t>(st.st_size);
    attributes.modificationDate = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    attributes.posixPermissions = st.st_mode & 07777;
    return attributes;
}

bool FileSystem::createDirectory(const std::string& relativePath) const {
    auto path = resolveInside(relativePath);
    if (!path) {
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(*path, ec);
    if (ec || !std::filesystem::is_directory(*path)) {
        consoleLog(kCategory, "Create Directory Error at path %s: --- %s", path->c_str(),
                   (ec ? ec : std::make_error_code(std::errc::not_a_directory)).message().c_str());
        return false;
    }
    consoleLog(kCategory, "Create Directory successful at path: %s", path->c_str());
    return true;
}

bool FileSystem::deleteFile(const std::string& relativePath) const {
    auto path = resolveInside(relativePath);
    if (!path) {
        return false;
    }
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(*path, ec);
    if (ec || !std::filesystem::exists(status)) {
        return false;
    }
    if (std::filesystem::is_directory(status) &&
        std::filesystem::directory_iterator(*path, ec) != std::filesystem::directory_iterator()) {
        return false;
    }
    if (!std::filesystem::remove(*path, ec) || ec) {
        consoleLog(kCategory, "Error deleting file at %s: %s", path->c_str(),
                   (ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory))
                       .message()
                       .c_str());
        return false;
    }
    consoleLog(kCategory, "File deleted at %s", path->c_str());
    return true;
}

}  // namespace vk
