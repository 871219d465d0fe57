// WatchSessionStore: what a watch session keeps on disk, in one directory (mode 0700) that one
// process holds at a time (an advisory lock on "lock"):
//
//   session-id                        this side's id (32 hexadecimal digits), made on first use
//   counterpart                       the id of the last counterpart that connected
//   user-info-sequence                the last sequence number given to a user-info transfer
//   outbox/<sequence>.bplist          user-info transfers the counterpart has not taken yet
//   application-context.bplist        {"version", "context"}: the latest context set here
//   received-application-context.bplist   the latest context received
//   peers/<id>                        per counterpart: the last user-info sequence and context
//                                     version handed to this side's delegate
//
// Every write replaces its file atomically (temporary file, fsync, rename, fsync of the
// directory) before the call returns, so a process killed at any point leaves each file either
// old or new. A queued transfer whose file cannot be read back is left where it is, untouched.
//
// Thread rule: thread-safe (one internal mutex; file writes happen under it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Coding/PropertyList.h"
#include "VornKit/Platform/Watch/WatchSession.h"

namespace vk {

/// What one watch session keeps on disk, in a private directory one process holds at a time (see
/// the top of this file). Thread-safe; every write is atomic and durable before the call returns.
class VK_EXPORT WatchSessionStore {
  public:
    /// A store for `directory`; nothing is touched until open(). `limits` bound the property lists
    /// it reads back.
    explicit WatchSessionStore(std::filesystem::path directory, PlistLimits limits = {});
    ~WatchSessionStore();
    WatchSessionStore(const WatchSessionStore&) = delete;
    WatchSessionStore& operator=(const WatchSessionStore&) = delete;

    /// Creates or opens the directory, takes its lock and loads what it holds. False, with
    /// `error`, when the directory cannot be made or used, or another process holds it.
    bool open(std::string& error);
    /// Lets go of the directory's lock, so that another session may open it; what was loaded
    /// stays readable, writes fail until the next open().
    void close();
    /// Whether open() succeeded and close() has not been called since.
    bool isOpen() const;
    /// The directory given at construction.
    const std::filesystem::path& directory() const { return directory_; }

    /// This side's id (32 hexadecimal digits), or empty before the first successful open().
    std::string sessionId() const;
    /// The id of the last counterpart that connected, or empty.
    std::string counterpart() const;
    /// Records `id` as the last counterpart; false when `id` is no session id or the write fails.
    bool setCounterpart(const std::string& id);

    // Sending side ------------------------------------------------------------------------

    /// Queues a transfer whose dictionary is `userInfo` and whose binary form is `encoded`.
    std::optional<WatchUserInfoTransfer> enqueueUserInfo(const PlistDictionary& userInfo,
                                                         const std::vector<std::uint8_t>& encoded,
                                                         std::string& error);
    /// Queued transfers in order.
    std::vector<WatchUserInfoTransfer> pendingUserInfo() const;
    /// At most `count` queued transfers after sequence number `after`, in order.
    std::vector<WatchUserInfoTransfer> pendingUserInfoAfter(std::uint64_t after,
                                                            std::size_t count) const;
    /// Removes the queued transfer `sequence`; the transfer, or absent when it was not queued.
    std::optional<WatchUserInfoTransfer> removeUserInfo(std::uint64_t sequence);

    /// Stores a new application context under the next version; the version, or absent.
    std::optional<std::uint64_t> setApplicationContext(const PlistDictionary& context,
                                                       std::string& error);
    /// The version and value of the context set here, or absent.
    std::optional<std::pair<std::uint64_t, PlistDictionary>> applicationContext() const;

    // Receiving side ----------------------------------------------------------------------

    /// How far the hand-over from one counterpart has come.
    struct PeerMarks {
        std::uint64_t userInfo = 0;  ///< last user-info sequence handed over
        std::uint64_t context = 0;   ///< last context version handed over
    };
    /// `peer` must be a session id (WatchFrame.h's isWatchSessionId).
    PeerMarks marks(const std::string& peer) const;

    /// A record of a hand-over in two steps around the delegate call: prepare() writes and
    /// flushes the new files beside the old ones; commit() puts them in place (a rename each,
    /// then the directories are flushed). A process that dies between the two leaves the old
    /// record, so the hand-over happens again; one that dies after the commit never repeats it.
    struct Record {
        /// The counterpart's session id.
        std::string peer;
        /// The marks once committed.
        PeerMarks marks;
        std::vector<std::filesystem::path> files;  ///< each prepared beside it as `<file>.tmp`
    };
    /// Prepares the record that user-info transfer `sequence` from `peer` was handed over; absent
    /// when `peer` is no session id, the store is not open or the write fails.
    std::optional<Record> prepareUserInfo(const std::string& peer, std::uint64_t sequence);
    /// Also makes `context` what receivedApplicationContext() returns from now on.
    std::optional<Record> prepareContext(const std::string& peer, std::uint64_t version,
                                         const PlistDictionary& context);
    /// Puts a prepared record in place; false when a file cannot be renamed (the old record stays).
    bool commit(const Record& record);
    /// The context last received (empty when none).
    PlistDictionary receivedApplicationContext() const;

    /// Creates `path` (mode 0700) or checks that it is a directory of this user, then takes
    /// group and other permissions away from it. False, with `error`, when it cannot.
    static bool makePrivateDirectory(const std::filesystem::path& path, std::string& error);

  private:
    bool writeFile(const std::filesystem::path& path, const std::uint8_t* bytes,
                   std::size_t size) const;
    /// Writes and flushes <path>.tmp.
    static bool prepareFile(const std::filesystem::path& path, const std::uint8_t* bytes,
                            std::size_t size);
    /// Renames <path>.tmp to `path`.
    static bool placeFile(const std::filesystem::path& path);
    static void syncDirectory(const std::filesystem::path& directory);
    std::string marksText(const PeerMarks& marks) const;
    bool writeText(const std::filesystem::path& path, const std::string& text) const;
    PeerMarks marksLocked(const std::string& peer) const;
    void loadLocked();

    std::filesystem::path directory_;
    PlistLimits limits_;
    mutable std::mutex mutex_;
    int lockFd_ = -1;
    std::string sessionId_;
    std::string counterpart_;
    std::uint64_t lastSequence_ = 0;
    std::map<std::uint64_t, PlistDictionary> outbox_;
    std::uint64_t contextVersion_ = 0;
    std::optional<PlistDictionary> context_;
    PlistDictionary receivedContext_;
    mutable std::map<std::string, PeerMarks> marks_;
};

}  // namespace vk
