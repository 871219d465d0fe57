#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr char kMagic[4] = {'V', 'K', 'S', '1'};
// Version 1 items have no write time; version 2 items carry one (microseconds since 1970).
constexpr std::uint8_t kFormatVersionWithoutTimes = 1;
constexpr std::uint8_t kFormatVersion = 2;

const Logger& logger() {
    static const Logger log("EncryptedFileSecretStore");
    return log;
}

/// Zeroes a buffer that held a key or plain text when it goes.
struct Wiped {
    std::string bytes;
    ~Wiped() {
        if (!bytes.empty())
            sodium_memzero(bytes.data(), bytes.size());
    }
};

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

/// Why a file or directory may not be used, or empty when it may.
std::string unsafeBecause(const struct stat& info, bool directory) {
    if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
        return directory ? "not a directory" : "not a regular file";
    if (info.st_uid != ::geteuid())
        return "owned by another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & 0077) != 0)
        return "other users may access it (mode " + modeText(info.st_mode) + ")";
    return {};
}

enum class ReadResult { Ok, Missing, Refused, Failed };

/// Reads a whole file that must be safe to use; `reason` says why not.
ReadResult readPrivateFile(const std::filesystem::path& path, std::string& bytes,
                           std::string& reason) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        if (errno == ELOOP) {
            reason = "it is a symbolic link";
            return ReadResult::Refused;
        }
        reason = std::strerror(errno);
        return ReadResult::Failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return ReadResult::Failed;
    }
    reason = unsafeBecause(info, false);
    if (!reason.empty()) {
        ::close(fd);
        return ReadResult::Refused;
    }
    bytes.clear();
    if (!PrivateFiles::readAll(fd, bytes)) {
        reason = std::strerror(errno);
        ::close(fd);
        return ReadResult::Failed;
    }
    ::close(fd);
    return ReadResult::Ok;
}

/// Writes `bytes` to `directory`/`name` through a temporary file, fsync and rename.
bool replaceFile(const std::filesystem::path& directory, const std::string& name,
                 const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    auto temporary = directory / (name + ".tmp-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(counter.fetch_add(1)));
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = PrivateFiles::writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temporary.c_str(), (directory / name).c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void putLength(std::string& out, std::size_t length) {
    auto value = static_cast<std::uint32_t>(length);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void putTime(std::string& out, std::int64_t time) {
    auto value = static_cast<std::uint64_t>(time);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void putText(std::string& out, const std::string& text) {
    putLength(out, text.size());
    out += text;
}

std::string serialise(const std::vector<SecretItem>& items) {
    std::string out;
    out.push_back(static_cast<char>(kFormatVersion));
    putLength(out, items.size());
    for (const auto& item : items) {
        putText(out, item.generic);
        putText(out, item.account);
        putText(out, item.accessGroup);
        out.push_back(item.synchronizable ? 1 : 0);
        out.push_back(item.accessibility == SecretAccessibility::AfterFirstUnlock ? 1 : 0);
        putTime(out, item.written);
        putText(out, item.value);
    }
    return out;
}

class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool byte(std::uint8_t& value) {
        if (at_ >= bytes_.size())
            return false;
        value = static_cast<std::uint8_t>(bytes_[at_++]);
        return true;
    }
    bool length(std::uint32_t& value) {
        if (bytes_.size() - at_ < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t{static_cast<std::uint8_t>(bytes_[at_++])} << (8 * i);
        return true;
    }
    bool time(std::int64_t& value) {
        if (bytes_.size() - at_ < 8)
            return false;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i)
            bits |= std::uint64_t{static_cast<std::uint8_t>(bytes_[at_++])} << (8 * i);
        value = static_cast<std::int64_t>(bits);
        return true;
    }
    bool text(std::string& value) {
        std::uint32_t size;
        if (!length(size) || bytes_.size() - at_ < size)
            return false;
        value.assign(bytes_.substr(at_, size));
        at_ += size;
        return true;
    }
    bool atEnd() const { return at_ == bytes_.size(); }

  private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

bool parse(std::string_view plain, std::vector<SecretItem>& items) {
    Reader reader(plain);
    std::uint8_t version;
    std::uint32_t count;
    if (!reader.byte(version) ||
        (version != kFormatVersion && version != kFormatVersionWithoutTimes) ||
        !reader.length(count)) {
        return false;
    }
    items.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        SecretItem item;
        std::uint8_t sync, access;
        if (!reader.text(item.generic) || !reader.text(item.account) ||
            !reader.text(item.accessGroup) || !reader.byte(sync) || !reader.byte(access) ||
            sync > 1 || access > 1 || (version == kFormatVersion && !reader.time(item.written)) ||
            !reader.text(item.value)) {
            return false;
        }
        item.synchronizable = sync == 1;
        item.accessibility =
            access == 1 ? SecretAccessibility::AfterFirstUnlock : SecretAccessibility::WhenUnlocked;
        items.push_back(std::move(item));
    }
    return reader.atEnd();
}

/// The write time of a change to `items`: now, and later than every item's (a clock set back
/// keeps the order of writes).
std::int64_t writeTime(const std::vector<SecretItem>& items) {
    std::int64_t time = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (const auto& item : items)
        time = std::max(time, item.written + 1);
    return time;
}

}  // namespace

/// A flock on the directory's lock file for as long as it exists.
class EncryptedFileSecretStore::Lock {
  public:
    Lock(const std::filesystem::path& directory, bool exclusive) {
        fd_ = ::open((directory / kLockFileName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                     0600);
        if (fd_ < 0)
            return;
        while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~Lock() {
        if (fd_ >= 0)
            ::close(fd_);  // releases the lock
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

std::filesystem::path EncryptedFileSecretStore::defaultDirectory(const Environment& environment) {
    return environment.dataHome() / "vornkit-secrets";
}

EncryptedFileSecretStore::EncryptedFileSecretStore(std::filesystem::path directory)
    : directory_(std::move(directory)) {
    if (sodium_init() < 0) {
        logger().log("libsodium could not be initialised");
    }
}

void EncryptedFileSecretStore::refuse(const std::string& reason) {
    // One line per distinct problem, not one per operation.
    if (reason == lastRefusal_)
        return;
    lastRefusal_ = reason;
    logger().log("Refusing to use the secret store: " + reason);
}

SecretStatus EncryptedFileSecretStore::checkDirectory(bool create) {
    struct stat info {};
    if (::lstat(directory_.c_str(), &info) != 0) {
        if (errno != ENOENT || !create)
            return errno == ENOENT ? SecretStatusCode::ItemNotFound : SecretStatusCode::IO;
        std::error_code ignored;
        std::filesystem::create_directories(directory_.parent_path(), ignored);
        if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
            logger().log("Cannot create the secret store directory " + directory_.string() + ": " +
                         std::strerror(errno));
            return SecretStatusCode::IO;
        }
        if (::lstat(directory_.c_str(), &info) != 0)
            return SecretStatusCode::IO;
    }
    if (S_ISLNK(info.st_mode)) {
        refuse(directory_.string() + " is a symbolic link");
        return SecretStatusCode::NotAvailable;
    }
    if (auto reason = unsafeBecause(info, true); !reason.empty()) {
        refuse(directory_.string() + ": " + reason);
        return SecretStatusCode::NotAvailable;
    }
    return SecretStatusCode::Success;
}

SecretStatus EncryptedFileSecretStore::load(std::vector<SecretItem>& items, bool createKey,
                                            std::string& key) {
    items.clear();
    std::string reason;
    const auto keyPath = directory_ / kKeyFileName;
    const auto storePath = directory_ / kStoreFileName;

    Wiped sealed;
    auto storeRead = readPrivateFile(storePath, sealed.bytes, reason);
    if (storeRead == ReadResult::Refused) {
        refuse(storePath.string() + ": " + reason);
        return SecretStatusCode::NotAvailable;
    }
    if (storeRead == ReadResult::Failed) {
        logger().log("Cannot read " + storePath.string() + ": " + reason);
        return SecretStatusCode::IO;
    }

    auto keyRead = readPrivateFile(keyPath, key, reason);
    if (keyRead == ReadResult::Refused) {
        refuse(keyPath.string() + ": " + reason);
        return SecretStatusCode::NotAvailable;
    }
    if (keyRead == ReadResult::Failed) {
        logger().log("Cannot read " + keyPath.string() + ": " + reason);
        return SecretStatusCode::IO;
    }
    if (keyRead == ReadResult::Missing) {
        if (storeRead == ReadResult::Ok) {
            logger().log("The secret store " + storePath.string() +
                         " has no key file beside it; it is kept as it is and not used");
            return SecretStatusCode::Decode;
        }
        if (!createKey)
            return SecretStatusCode::Success;
        key.assign(crypto_secretbox_KEYBYTES, '\0');
        crypto_secretbox_keygen(reinterpret_cast<unsigned char*>(key.data()));
        if (!replaceFile(directory_, kKeyFileName, key)) {
            logger().log("Cannot write " + keyPath.string() + ": " + std::strerror(errno));
            return SecretStatusCode::IO;
        }
    }
    if (key.size() != crypto_secretbox_KEYBYTES) {
        logger().log("The key file " + keyPath.string() + " does not hold a key; not used");
        return SecretStatusCode::Decode;
    }
    lastRefusal_.clear();
    if (storeRead == ReadResult::Missing)
        return SecretStatusCode::Success;

    const std::size_t header = sizeof kMagic + crypto_secretbox_NONCEBYTES;
    const std::string& bytes = sealed.bytes;
    if (bytes.size() < header + crypto_secretbox_MACBYTES ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        logger().log("The secret store " + storePath.string() +
                     " is not in a known form; it is kept as it is and not used");
        return SecretStatusCode::Decode;
    }
    Wiped plain;
    plain.bytes.resize(bytes.size() - header - crypto_secretbox_MACBYTES);
    const auto* nonce = reinterpret_cast<const unsigned char*>(bytes.data() + sizeof kMagic);
    const auto* cipher = reinterpret_cast<const unsigned char*>(bytes.data() + header);
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.bytes.data()), cipher,
                                   bytes.size() - header, nonce,
                                   reinterpret_cast<const unsigned char*>(key.data())) != 0 ||
        !parse(plain.bytes, items)) {
        items.clear();
        logger().log("The secret store " + storePath.string() +
                     " cannot be decrypted with its key (another key or damage); it is kept as "
                     "it is and not used");
        return SecretStatusCode::Decode;
    }
    return SecretStatusCode::Success;
}

SecretStatus EncryptedFileSecretStore::save(const std::vector<SecretItem>& items,
                                            const std::string& key) {
    Wiped plain;
    plain.bytes = serialise(items);
    std::string sealed(sizeof kMagic + crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES +
                           plain.bytes.size(),
                       '\0');
    std::memcpy(sealed.data(), kMagic, sizeof kMagic);
    auto* nonce = reinterpret_cast<unsigned char*>(sealed.data() + sizeof kMagic);
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(plain.bytes.data()),
                          plain.bytes.size(), nonce,
                          reinterpret_cast<const unsigned char*>(key.data()));
    if (!replaceFile(directory_, kStoreFileName, sealed)) {
        logger().log("Cannot write " + (directory_ / kStoreFileName).string() + ": " +
                     std::strerror(errno));
        return SecretStatusCode::IO;
    }
    return SecretStatusCode::Success;
}

SecretStatus EncryptedFileSecretStore::modify(
    const std::function<SecretStatus(std::vector<SecretItem>&)>& change, bool create) {
    std::lock_guard guard(mutex_);
    if (auto status = checkDirectory(create); status != SecretStatusCode::Success)
        return status;
    Lock lock(directory_, true);
    if (!lock.held())
        return SecretStatusCode::IO;
    // Temporary files of writers killed half-way; no writer runs while the lock is held.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, ignored)) {
        auto name = entry.path().filename().string();
        if (name.rfind(std::string(kStoreFileName) + ".tmp-", 0) == 0 ||
            name.rfind(std::string(kKeyFileName) + ".tmp-", 0) == 0) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
    std::vector<SecretItem> items;
    Wiped key;
    if (auto status = load(items, create, key.bytes); status != SecretStatusCode::Success)
        return status;
    if (key.bytes.empty())
        return SecretStatusCode::ItemNotFound;  // no store yet, and none is made for this
    auto status = change(items);
    if (status != SecretStatusCode::Success)
        return status;
    return save(items, key.bytes);
}

SecretStatus EncryptedFileSecretStore::copyFirst(const SecretQuery& query, SecretItem& item) {
    std::lock_guard guard(mutex_);
    if (auto status = checkDirectory(false); status != SecretStatusCode::Success)
        return status;
    Lock lock(directory_, false);
    if (!lock.held())
        return SecretStatusCode::IO;
    std::vector<SecretItem> items;
    Wiped key;
    if (auto status = load(items, false, key.bytes); status != SecretStatusCode::Success)
        return status;
    // Items are kept in the order they were last written.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (query.matches(*it)) {
            item = *it;
            return SecretStatusCode::Success;
        }
    }
    return SecretStatusCode::ItemNotFound;
}

SecretStatus EncryptedFileSecretStore::add(const SecretItem& item) {
    return modify(
        [&](std::vector<SecretItem>& items) {
            for (const auto& existing : items) {
                if (sameSecretIdentity(existing, item)) {
                    return SecretStatusCode::DuplicateItem;
                }
            }
            items.push_back(item);
            items.back().written = writeTime(items);
            return SecretStatusCode::Success;
        },
        true);
}

SecretStatus EncryptedFileSecretStore::update(const SecretQuery& query,
                                              const SecretUpdate& changes) {
    return modify(
        [&](std::vector<SecretItem>& items) {
            const std::int64_t now = writeTime(items);
            auto matched = std::stable_partition(
                items.begin(), items.end(), [&](const SecretItem& x) { return !query.matches(x); });
            if (matched == items.end())
                return SecretStatusCode::ItemNotFound;
            for (auto it = matched; it != items.end(); ++it) {
                it->written = now;
                if (changes.value)
                    it->value = *changes.value;
                if (changes.accessibility)
                    it->accessibility =
                        changes.accessibility->value_or(SecretAccessibility::WhenUnlocked);
            }
            return SecretStatusCode::Success;
        },
        false);
}

SecretStatus EncryptedFileSecretStore::remove(const SecretQuery& query) {
    return modify(
        [&](std::vector<SecretItem>& items) {
            auto end = std::remove_if(items.begin(), items.end(),
                                      [&](const SecretItem& x) { return query.matches(x); });
            if (end == items.end())
                return SecretStatusCode::ItemNotFound;
            items.erase(end, items.end());
            return SecretStatusCode::Success;
        },
        false);
}

}  // namespace vk
