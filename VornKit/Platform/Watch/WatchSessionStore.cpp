#include "VornKit/Platform/Watch/WatchSessionStore.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Watch/WatchFrame.h"

namespace vk {

namespace {

constexpr const char* kOutbox = "outbox";
constexpr const char* kPeers = "peers";
constexpr const char* kSuffix = ".bplist";

std::optional<std::vector<std::uint8_t>> readBytes(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    std::uint8_t buffer[16384];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return out;
}

std::string readText(const std::filesystem::path& path) {
    auto bytes = readBytes(path);
    if (!bytes)
        return {};
    std::string text(bytes->begin(), bytes->end());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

}  // namespace

bool WatchSessionStore::makePrivateDirectory(const std::filesystem::path& path,
                                             std::string& error) {
    return PrivateFiles::folder(path, &error).has_value();
}

namespace {

std::string outboxName(std::uint64_t sequence) {
    char name[40];
    std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(sequence),
                  kSuffix);
    return name;
}

}  // namespace

WatchSessionStore::WatchSessionStore(std::filesystem::path directory, PlistLimits limits)
    : directory_(std::move(directory)), limits_(limits) {}

WatchSessionStore::~WatchSessionStore() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

void WatchSessionStore::close() {
    std::lock_guard lock(mutex_);
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

bool WatchSessionStore::isOpen() const {
    std::lock_guard lock(mutex_);
    return lockFd_ >= 0;
}

bool WatchSessionStore::open(std::string& error) {
    std::lock_guard lock(mutex_);
    if (lockFd_ >= 0)
        return true;
    std::error_code ec;
    std::filesystem::create_directories(directory_.parent_path(), ec);
    if (!makePrivateDirectory(directory_, error) ||
        !makePrivateDirectory(directory_ / kOutbox, error) ||
        !makePrivateDirectory(directory_ / kPeers, error)) {
        return false;
    }
    int fd = ::open((directory_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + (directory_ / "lock").string() + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = directory_.string() + " is in use by another process";
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    loadLocked();
    if (!isWatchSessionId(sessionId_)) {
        if (sodium_init() < 0) {
            error = "libsodium could not be initialised";
            return false;
        }
        std::uint8_t random[16];
        randombytes_buf(random, sizeof random);
        char hex[33];
        sodium_bin2hex(hex, sizeof hex, random, sizeof random);
        if (!writeText(directory_ / "session-id", hex)) {
            error = "cannot write " + (directory_ / "session-id").string();
            ::close(lockFd_);
            lockFd_ = -1;
            return false;
        }
        sessionId_ = hex;
    }
    return true;
}

void WatchSessionStore::loadLocked() {
    sessionId_ = readText(directory_ / "session-id");
    counterpart_ = readText(directory_ / "counterpart");
    if (!isWatchSessionId(counterpart_))
        counterpart_.clear();
    lastSequence_ = parseNumber(readText(directory_ / "user-info-sequence")).value_or(0);
    outbox_.clear();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory_ / kOutbox, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() != 20 + std::strlen(kSuffix) || !name.ends_with(kSuffix))
            continue;
        auto sequence = parseNumber(std::string_view(name).substr(0, 20));
        if (!sequence)
            continue;
        // Counted even when unreadable: a new transfer must never take its name.
        lastSequence_ = std::max(lastSequence_, *sequence);
        auto bytes = readBytes(entry.path());
        auto value =
            bytes ? decodeBinaryPlist(bytes->data(), bytes->size(), limits_) : std::nullopt;
        if (!value || value->dictionary() == nullptr) {
            consoleLog("WatchSession", "Keeping unreadable queued transfer %s as it is",
                       entry.path().c_str());
            continue;
        }
        outbox_.emplace(*sequence, *value->dictionary());
    }
    contextVersion_ = 0;
    context_.reset();
    if (auto bytes = readBytes(directory_ / "application-context.bplist")) {
        auto value = decodeBinaryPlist(bytes->data(), bytes->size(), limits_);
        const PlistDictionary* dict = value ? value->dictionary() : nullptr;
        if (dict != nullptr) {
            auto version = dict->find("version");
            auto context = dict->find("context");
            if (version != dict->end() && version->second.integer() != nullptr &&
                *version->second.integer() > 0 && context != dict->end() &&
                context->second.dictionary() != nullptr) {
                contextVersion_ = static_cast<std::uint64_t>(*version->second.integer());
                context_ = *context->second.dictionary();
            }
        }
    }
    receivedContext_.clear();
    if (auto bytes = readBytes(directory_ / "received-application-context.bplist")) {
        auto value = decodeBinaryPlist(bytes->data(), bytes->size(), limits_);
        if (value && value->dictionary() != nullptr)
            receivedContext_ = *value->dictionary();
    }
    marks_.clear();
}

std::string WatchSessionStore::sessionId() const {
    std::lock_guard lock(mutex_);
    return sessionId_;
}

std::string WatchSessionStore::counterpart() const {
    std::lock_guard lock(mutex_);
    return counterpart_;
}

bool WatchSessionStore::setCounterpart(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (!isWatchSessionId(id) || !writeText(directory_ / "counterpart", id))
        return false;
    counterpart_ = id;
    return true;
}

std::optional<WatchUserInfoTransfer> WatchSessionStore::enqueueUserInfo(
    const PlistDictionary& userInfo, const std::vector<std::uint8_t>& encoded, std::string& error) {
    std::lock_guard lock(mutex_);
    if (lockFd_ < 0) {
        error = "the session's store is not open";
        return std::nullopt;
    }
    std::uint64_t sequence = lastSequence_ + 1;
    // The counter first: a crash between the two writes leaves a gap, never a reused number.
    if (!writeText(directory_ / "user-info-sequence", std::to_string(sequence)) ||
        !writeFile(directory_ / kOutbox / outboxName(sequence), encoded.data(), encoded.size())) {
        error = "cannot write to " + directory_.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    lastSequence_ = sequence;
    outbox_.emplace(sequence, userInfo);
    return WatchUserInfoTransfer{sequence, userInfo};
}

std::vector<WatchUserInfoTransfer> WatchSessionStore::pendingUserInfo() const {
    std::lock_guard lock(mutex_);
    std::vector<WatchUserInfoTransfer> out;
    out.reserve(outbox_.size());
    for (const auto& [sequence, info] : outbox_)
        out.push_back(WatchUserInfoTransfer{sequence, info});
    return out;
}

std::vector<WatchUserInfoTransfer> WatchSessionStore::pendingUserInfoAfter(
    std::uint64_t after, std::size_t count) const {
    std::lock_guard lock(mutex_);
    std::vector<WatchUserInfoTransfer> out;
    for (auto it = outbox_.upper_bound(after); it != outbox_.end() && out.size() < count; ++it)
        out.push_back(WatchUserInfoTransfer{it->first, it->second});
    return out;
}

std::optional<WatchUserInfoTransfer> WatchSessionStore::removeUserInfo(std::uint64_t sequence) {
    std::lock_guard lock(mutex_);
    auto it = outbox_.find(sequence);
    if (it == outbox_.end())
        return std::nullopt;
    WatchUserInfoTransfer transfer{sequence, std::move(it->second)};
    outbox_.erase(it);
    ::unlink((directory_ / kOutbox / outboxName(sequence)).c_str());
    return transfer;
}

std::optional<std::uint64_t> WatchSessionStore::setApplicationContext(
    const PlistDictionary& context, std::string& error) {
    std::lock_guard lock(mutex_);
    if (lockFd_ < 0) {
        error = "the session's store is not open";
        return std::nullopt;
    }
    std::uint64_t version = contextVersion_ + 1;
    PlistDictionary record{{"version", static_cast<std::int64_t>(version)}, {"context", context}};
    auto bytes = encodeBinaryPlist(record, limits_);
    if (!bytes) {
        error = "the context cannot be written as a property list";
        return std::nullopt;
    }
    if (!writeFile(directory_ / "application-context.bplist", bytes->data(), bytes->size())) {
        error = "cannot write to " + directory_.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    contextVersion_ = version;
    context_ = context;
    return version;
}

std::optional<std::pair<std::uint64_t, PlistDictionary>> WatchSessionStore::applicationContext()
    const {
    std::lock_guard lock(mutex_);
    if (!context_)
        return std::nullopt;
    return std::make_pair(contextVersion_, *context_);
}

WatchSessionStore::PeerMarks WatchSessionStore::marks(const std::string& peer) const {
    std::lock_guard lock(mutex_);
    return marksLocked(peer);
}

WatchSessionStore::PeerMarks WatchSessionStore::marksLocked(const std::string& peer) const {
    if (!isWatchSessionId(peer))
        return {};
    auto it = marks_.find(peer);
    if (it != marks_.end())
        return it->second;
    PeerMarks marks;
    std::istringstream lines(readText(directory_ / kPeers / peer));
    std::string key;
    std::string value;
    while (lines >> key >> value) {
        auto number = parseNumber(value);
        if (!number)
            continue;
        if (key == "userInfo")
            marks.userInfo = *number;
        else if (key == "context")
            marks.context = *number;
    }
    marks_[peer] = marks;
    return marks;
}

std::string WatchSessionStore::marksText(const PeerMarks& marks) const {
    return "userInfo " + std::to_string(marks.userInfo) + "\ncontext " +
           std::to_string(marks.context) + "\n";
}

std::optional<WatchSessionStore::Record> WatchSessionStore::prepareUserInfo(
    const std::string& peer, std::uint64_t sequence) {
    std::lock_guard lock(mutex_);
    if (!isWatchSessionId(peer) || lockFd_ < 0)
        return std::nullopt;
    Record record{peer, marksLocked(peer), {directory_ / kPeers / peer}};
    record.marks.userInfo = std::max(record.marks.userInfo, sequence);
    std::string text = marksText(record.marks);
    if (!prepareFile(record.files[0], reinterpret_cast<const std::uint8_t*>(text.data()),
                     text.size())) {
        return std::nullopt;
    }
    return record;
}

std::optional<WatchSessionStore::Record> WatchSessionStore::prepareContext(
    const std::string& peer, std::uint64_t version, const PlistDictionary& context) {
    std::lock_guard lock(mutex_);
    if (!isWatchSessionId(peer) || lockFd_ < 0)
        return std::nullopt;
    auto bytes = encodeBinaryPlist(PlistValue(context), limits_);
    if (!bytes)
        return std::nullopt;
    // The context first: a death between the two renames hands the same context over again.
    Record record{peer,
                  marksLocked(peer),
                  {directory_ / "received-application-context.bplist", directory_ / kPeers / peer}};
    record.marks.context = std::max(record.marks.context, version);
    std::string text = marksText(record.marks);
    if (!prepareFile(record.files[0], bytes->data(), bytes->size()) ||
        !prepareFile(record.files[1], reinterpret_cast<const std::uint8_t*>(text.data()),
                     text.size())) {
        return std::nullopt;
    }
    // Readers see the context from the moment its delegate call starts.
    receivedContext_ = context;
    return record;
}

bool WatchSessionStore::commit(const Record& record) {
    std::lock_guard lock(mutex_);
    for (const auto& file : record.files) {
        if (!placeFile(file))
            return false;
    }
    marks_[record.peer] = record.marks;
    syncDirectory(directory_);
    syncDirectory(directory_ / kPeers);
    return true;
}

PlistDictionary WatchSessionStore::receivedApplicationContext() const {
    std::lock_guard lock(mutex_);
    return receivedContext_;
}

bool WatchSessionStore::writeText(const std::filesystem::path& path,
                                  const std::string& text) const {
    return writeFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool WatchSessionStore::writeFile(const std::filesystem::path& path, const std::uint8_t* bytes,
                                  std::size_t size) const {
    if (!prepareFile(path, bytes, size) || !placeFile(path))
        return false;
    syncDirectory(path.parent_path());
    return true;
}

bool WatchSessionStore::prepareFile(const std::filesystem::path& path, const std::uint8_t* bytes,
                                    std::size_t size) {
    std::filesystem::path temp = path;
    temp += ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == size && ::fdatasync(fd) == 0;
    ::close(fd);
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

bool WatchSessionStore::placeFile(const std::filesystem::path& path) {
    std::filesystem::path temp = path;
    temp += ".tmp";
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void WatchSessionStore::syncDirectory(const std::filesystem::path& directory) {
    int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace vk
