#include "VornKit/Platform/Files/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace vk {

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool PrivateFiles::write(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error) {
    // O_NOFOLLOW refuses a link at the name itself; O_NONBLOCK keeps a planted FIFO from
    // blocking the open, and the regular-file check below refuses it.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(error, "cannot open " + path.string());
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    ok = ok && ::ftruncate(fd, 0) == 0 && writeAll(fd, bytes);
    const int savedErrno = errno;
    const bool closed = ::close(fd) == 0;
    errno = savedErrno;
    if (!ok || !closed)
        return fail(error, "cannot write " + path.string());
    return true;
}

bool PrivateFiles::writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool PrivateFiles::readAll(int fd, std::string& bytes) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::filesystem::path> PrivateFiles::folder(const std::filesystem::path& path,
                                                          std::string* error) {
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(error, "cannot create " + path.string());
        return std::nullopt;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = path.string() + " is not a directory";
        return std::nullopt;
    }
    if (st.st_uid != ::geteuid()) {
        if (error)
            *error = path.string() + " belongs to another user";
        return std::nullopt;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        fail(error, "cannot restrict " + path.string());
        return std::nullopt;
    }
    return path;
}

std::optional<std::filesystem::path> PrivateFiles::uniqueFolder(
    const std::filesystem::path& prefix) {
    std::error_code ec;
    if (prefix.has_parent_path())
        std::filesystem::create_directories(prefix.parent_path(), ec);
    std::string pattern = prefix.string() + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        return std::nullopt;
    return std::filesystem::path(name.data());
}

}  // namespace vk
