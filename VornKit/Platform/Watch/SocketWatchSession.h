// SocketWatchSession: the WatchSession that links two processes over a stream socket.
//
// One side listens (the phone application: the framework's default session) and the other
// connects (the companion, or `vornctl watch-sim`); the connecting side reconnects on its own
// while activated. One counterpart is connected at a time: a listener that completes a handshake
// with a new connection drops the previous one. A listener keeps at most eight connections in
// their handshake; when a ninth arrives the oldest of them is closed, so that connections that
// idle without proving anything cannot keep out a peer that completes the handshake.
//
// Transports:
//   - a Unix stream socket, by default $XDG_RUNTIME_DIR/vornkit/watch.sock in a directory of
//     mode 0700 (the user's own processes only; both ends also check the peer's user id). Without
//     XDG_RUNTIME_DIR the directory is <temporary directory>/vornkit-<uid>.
//   - TCP, for a device on the network: the link is then paired (WatchPairing.h). Both ends hold
//     the same 32-byte key file; both are authenticated and the stream sealed before any message
//     is read, and a peer without the key gets nothing.
// Frames are binary property lists of at most `maxFrameSize` bytes (WatchFrame.h); a peer that
// sends anything else, a larger frame or a frame nested deeper than the limits is disconnected.
//
// Disk (WatchSessionStore.h, in `stateDirectory`): the application context and the user-info
// queue live there, so both survive a restart of either side. A user-info transfer (and a new
// application context) is removed from the sender's queue only when the receiver acknowledges
// it. The receiver prepares the record of the transfer's sequence number on disk, hands the
// transfer to its delegate, puts the record in place (a rename) and only then acknowledges. A
// transfer sent again after a broken link or a restart of either side is acknowledged without
// being handed over again; the one exception is a receiver that dies inside the delegate call
// itself (before the rename): it gets that one transfer again after its restart, so nothing is
// ever lost.
//
// Threads: one I/O thread per activated session (poll(2) over its sockets); sending happens on
// the caller's thread when the socket takes the bytes at once. Delegate calls and handlers run on
// the session's serial queue ("vk.watch-session"). Thread rule: thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Coding/PropertyList.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Watch/WatchPairing.h"
#include "VornKit/Platform/Watch/WatchSession.h"
#include "VornKit/Platform/Watch/WatchSessionStore.h"

namespace vk {

/// How a SocketWatchSession connects and where it keeps its state. A plain value; the defaults
/// make the framework's listening session on the Unix socket.
struct VK_EXPORT WatchSessionConfiguration {
    /// Which end of the link this session is.
    enum class Role {
        listener,   ///< waits for the counterpart (the phone side)
        connector,  ///< connects to the counterpart and reconnects while activated
    };
    /// This session's end of the link.
    Role role = Role::listener;
    /// The Unix socket; empty: defaultSocketPath().
    std::filesystem::path socketPath;
    /// Set: TCP on this host and port instead of the Unix socket (a listener given port 0 takes
    /// a free one, see SocketWatchSession::boundPort()). Needs `pairingKeyFile`.
    std::optional<std::string> tcpHost;
    /// The TCP port; used only with `tcpHost`.
    std::uint16_t tcpPort = 0;
    /// The 32-byte key both ends of a TCP link hold (WatchPairing.h); unused on the Unix socket.
    std::filesystem::path pairingKeyFile;
    /// Where the context and the queue live; empty: `<data home>/<bundle id>/WatchSession`.
    std::filesystem::path stateDirectory;
    /// The largest frame sent or accepted.
    std::size_t maxFrameSize = std::size_t{4} << 20;
    /// The bounds on what a received frame may hold.
    PlistLimits limits;
    /// A message's reply (or delivery notice) not in by then fails with messageReplyTimedOut.
    std::chrono::milliseconds replyTimeout{30000};
    /// A connection that has not completed its handshake by then is closed.
    std::chrono::milliseconds handshakeTimeout{10000};
    /// Pause between connection attempts of a connector.
    std::chrono::milliseconds reconnectInterval{250};

    /// `$XDG_RUNTIME_DIR/vornkit/watch.sock`, else
    /// `<temporary directory>/vornkit-<uid>/watch.sock`.
    static std::filesystem::path defaultSocketPath();
    /// `<data home>/<bundle id>/WatchSession`.
    static std::filesystem::path defaultStateDirectory();
};

/// The WatchSession over a Unix or TCP stream socket (see the top of this file). Thread-safe;
/// delegate calls and handlers run on the session's serial queue.
class VK_EXPORT SocketWatchSession final : public WatchSession,
                                           public std::enable_shared_from_this<SocketWatchSession> {
  public:
    /// A session with `configuration`, not yet activated: nothing is opened or listened on until
    /// activate().
    static std::shared_ptr<SocketWatchSession> make(WatchSessionConfiguration configuration);
    /// Stops the I/O thread; handlers still waiting get sessionInvalidated.
    ~SocketWatchSession() override;

    void setDelegate(std::weak_ptr<WatchSessionDelegate> delegate) override;
    std::shared_ptr<WatchSessionDelegate> delegate() const override;
    void activate() override;
    void deactivate() override;
    WatchActivationState activationState() const override;
    bool isReachable() const override;
    bool isPaired() const override;
    std::string counterpartSessionId() const override;
    void sendMessage(const PlistDictionary& message, WatchReplyHandler replyHandler,
                     WatchErrorHandler errorHandler) override;
    std::optional<WatchSessionError> updateApplicationContext(
        const PlistDictionary& context) override;
    PlistDictionary applicationContext() const override;
    PlistDictionary receivedApplicationContext() const override;
    std::shared_ptr<WatchUserInfoTransfer> transferUserInfo(
        const PlistDictionary& userInfo) override;
    std::vector<WatchUserInfoTransfer> outstandingUserInfoTransfers() const override;

    /// Why the last activate() left the session not activated; absent when it succeeded. Set
    /// before activate() returns, as is activationState().
    std::optional<WatchSessionError> activationError() const;
    /// This side's session id (after activation).
    std::string sessionId() const;
    /// The TCP port a listener is bound to, else 0.
    std::uint16_t boundPort() const;
    /// The configuration given to make().
    const WatchSessionConfiguration& configuration() const { return configuration_; }

    struct Connection;
    struct ReplyState;

  private:
    explicit SocketWatchSession(WatchSessionConfiguration configuration);

    struct Pending {
        WatchReplyHandler reply;
        WatchErrorHandler error;
        std::chrono::steady_clock::time_point deadline;
        std::uint64_t generation = 0;
    };

    void post(std::function<void(SocketWatchSession&, WatchSessionDelegate&)> call);
    void postError(WatchErrorHandler handler, WatchSessionError error);
    void wake();
    bool isTcp() const { return configuration_.tcpHost.has_value(); }

    // Under mutex_.
    bool listenLocked(std::string& error);
    void stopLocked(std::unique_lock<std::mutex>& lock);
    bool sendFrameLocked(Connection& connection, const PlistValue& frame,
                         WatchSessionError* error = nullptr);
    void flushLocked(Connection& connection);
    void promoteLocked(Connection& connection);
    void sendQueuedLocked(Connection& connection);
    void closeLocked(Connection& connection, const char* why);
    void failPendingLocked(std::uint64_t generation, WatchSessionErrorCode code);
    bool feedLocked(Connection& connection, const std::uint8_t* bytes, std::size_t size);
    bool handleFrameLocked(Connection& connection, std::vector<std::uint8_t>& body);
    bool handleWireFrameLocked(Connection& connection, struct WatchWireFrame& frame);
    void startConnectLocked();
    void noteDeadlineLocked(std::chrono::steady_clock::time_point deadline);
    Connection* establishedLocked() const;

    // Called back from the delegate queue and reply handlers.
    /// Whether hand-overs on link `generation` may go on: it is the established link and none of
    /// its hand-overs has failed. Takes the lock.
    bool handOverLive(std::uint64_t generation);
    /// Stops every hand-over on link `generation`; the counterpart resends on its next link.
    void stopHandOvers(std::uint64_t generation);
    void handOverUserInfo(std::uint64_t generation, const std::string& peer, std::uint64_t sequence,
                          const PlistDictionary& body);
    void handOverContext(std::uint64_t generation, const std::string& peer, std::uint64_t version,
                         const PlistDictionary& body);
    void sendAck(std::uint64_t generation, const PlistValue& frame);
    void sendReply(std::uint64_t generation, std::uint64_t number, const PlistDictionary* reply);

    void ioLoop();

    const WatchSessionConfiguration configuration_;
    const std::shared_ptr<DispatchQueue> queue_;
    WatchSessionStore store_;

    // Held for the whole of activate(), deactivate() and the destructor, so that one of them
    // never sees the state of another that has let go of mutex_ to join the I/O thread. Taken
    // before mutex_; nothing run under it calls back into those three on the same thread (the
    // delegate is called on the session's queue).
    std::mutex lifecycleMutex_;
    mutable std::mutex mutex_;
    std::weak_ptr<WatchSessionDelegate> delegate_;
    WatchActivationState state_ = WatchActivationState::notActivated;
    std::optional<WatchSessionError> activationError_;
    bool reachable_ = false;
    std::optional<WatchPairingKey> pairingKey_;
    int listenFd_ = -1;
    bool ownsSocketFile_ = false;
    std::uint16_t boundPort_ = 0;
    int wakeFd_ = -1;
    bool stopping_ = false;
    std::thread ioThread_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::uint64_t nextGeneration_ = 1;
    std::uint64_t establishedGeneration_ = 0;
    std::uint64_t nextMessageNumber_ = 1;
    std::map<std::uint64_t, Pending> pending_;
    std::chrono::steady_clock::time_point nextConnectAttempt_{};
    std::chrono::steady_clock::time_point ioWakeAt_{};
};

}  // namespace vk
