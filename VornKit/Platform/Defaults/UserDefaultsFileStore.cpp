#include "VornKit/Platform/Defaults/UserDefaultsFileStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Immortal<Logger> log("UserDefaults");
    return *log;
}

DefaultsFileStamp stampOf(const struct stat& st) {
    DefaultsFileStamp stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modifiedNs =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changedNs =
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool readAll(int fd, std::string& text) {
    char buffer[16384];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

UserDefaultsFileStore::UserDefaultsFileStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path UserDefaultsFileStore::corruptCopy() const {
    std::filesystem::path copy = file_;
    copy += ".corrupt";
    return copy;
}

DefaultsFileStamp UserDefaultsFileStore::stamp() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0)
        return {};
    return stampOf(st);
}

std::optional<DefaultsFileSnapshot> UserDefaultsFileStore::read() {
    lastReadFailed_ = true;  // until the file is found missing or read and parsed
    DefaultsFileSnapshot snapshot;
    Descriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            snapshot.contents = DefaultsFileContents{};
            noteReadable(snapshot);
            return snapshot;
        }
        logger().log(LogMessage("Cannot open defaults file ")
                     << file_.string() << ": " << std::strerror(errno));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !readAll(fd.get(), snapshot.text)) {
        logger().log(LogMessage("Cannot read defaults file ")
                     << file_.string() << ": " << std::strerror(errno));
        return std::nullopt;
    }
    snapshot.stamp = stampOf(st);
    snapshot.contents = UserDefaultsFormat::decode(snapshot.text);
    noteReadable(snapshot);
    return snapshot;
}

void UserDefaultsFileStore::noteReadable(const DefaultsFileSnapshot& snapshot) {
    lastReadFailed_ = !snapshot.contents;
    if (snapshot.contents) {
        loggedUnreadable_ = false;
    } else if (!loggedUnreadable_) {
        loggedUnreadable_ = true;
        logger().log(LogMessage("Ignoring unreadable defaults file ")
                     << file_.string() << "; it is kept as " << corruptCopy().string()
                     << " when the next change replaces it");
    }
}

std::optional<DefaultsFileSnapshot> UserDefaultsFileStore::update(
    const std::function<void(DefaultsFileContents&)>& change) {
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    const std::string lockPath = file_.string() + ".lock";
    Descriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) {
        logger().log(LogMessage("Cannot lock defaults file ") << file_.string());
        return std::nullopt;
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            logger().log(LogMessage("Cannot lock defaults file ") << file_.string());
            return std::nullopt;
        }
    }
    // The lock is released when `lock` closes its descriptor.
    auto current = read();
    if (!current)
        return std::nullopt;
    DefaultsFileContents contents;
    if (current->contents) {
        contents = std::move(*current->contents);
    } else if (!writeAtomically(corruptCopy(), current->text)) {
        return std::nullopt;  // the unreadable file is not replaced before it is kept
    }
    change(contents);
    DefaultsFileSnapshot written;
    written.text = UserDefaultsFormat::encode(contents);
    if (!writeAtomically(file_, written.text))
        return std::nullopt;
    written.stamp = stamp();
    written.contents = std::move(contents);
    return written;
}

bool UserDefaultsFileStore::writeAtomically(const std::filesystem::path& path,
                                            const std::string& text) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = path.string() + ".tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
    bool ok = false;
    {
        Descriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ok = fd.get() >= 0 && PrivateFiles::writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 &&
             ::close(fd.release()) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        const int error = errno;
        ::unlink(temp.c_str());
        logger().log(LogMessage("Cannot write defaults file ")
                     << path.string() << ": " << std::strerror(error));
        return false;
    }
    Descriptor dir(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

}  // namespace vk
