// SocketWatchSession::Connection, one link of a SocketWatchSession, and the socket helpers its
// parts share: the session's implementation is split by concern across SocketWatchSession.cpp
// (activation, listening, stopping), SocketWatchSessionSending.cpp (messages, the context and the
// user-info queue going out), SocketWatchConnection.cpp (connecting, the handshake, closing),
// SocketWatchSessionReceiving.cpp (frames coming in and their hand-over to the delegate) and
// SocketWatchSessionIo.cpp (the I/O thread). Not for hosts: nothing here is part of the API.
//
// Thread rule: a Connection is guarded by its session's mutex; the helpers are thread-safe.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Platform/Watch/SocketWatchSession.h"
#include "VornKit/Platform/Watch/WatchFrame.h"
#include "VornKit/Platform/Watch/WatchPairing.h"

/// @cond INTERNAL
namespace vk {

/// The socket helpers of SocketWatchSession's parts.
namespace detail::watch {

using SteadyClock = std::chrono::steady_clock;

/// Frames a link accepts before its handshake is complete (a hello is about a hundred bytes).
constexpr std::size_t kHandshakeFrameLimit = 4096;
/// User-info transfers sent and not yet acknowledged, per link.
constexpr std::size_t kUserInfoWindow = 64;
/// Connections still in their handshake a listener keeps at once; a new one replaces the oldest.
constexpr std::size_t kMaxHandshaking = 8;

/// Logs `format` (one %s, filled with `detail`) to the console log as "WatchSession".
void note(const char* format, const std::string& detail);

/// Whether the peer of the Unix socket `fd` runs as this user.
bool peerIsThisUser(int fd);

/// Fills `address` with `path`; false when the path is empty or too long for a Unix socket.
bool fillUnixAddress(const std::filesystem::path& path, sockaddr_un& address);

/// No delay and a keep-alive that notices a vanished peer within half a minute.
void setTcpOptions(int fd);

/// The addresses getaddrinfo() gave; freed with the list.
struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head != nullptr)
            ::freeaddrinfo(head);
    }
};

/// The stream addresses of `host`:`port` into `out`; false with `error` set when it does not
/// resolve.
bool resolve(const std::string& host, std::uint16_t port, bool passive, AddressList& out,
             std::string& error);

/// A session error with `code` and `detail`.
WatchSessionError makeError(WatchSessionErrorCode code, std::string detail = {});

}  // namespace detail::watch

/// One link of the session: its socket, where its handshake stands, what it has to send and what
/// it has sent and queued for hand-over. Guarded by the session's mutex.
struct SocketWatchSession::Connection {
    enum class Phase {
        KeyHello,      ///< TCP: waiting for the peer's key-exchange hello
        Header,        ///< TCP: waiting for the peer's stream header
        SessionHello,  ///< waiting for the peer's hello frame
        Established,
    };

    explicit Connection(std::size_t handshakeLimit) : reader(handshakeLimit) {}

    int fd = -1;
    std::uint64_t generation = 0;
    bool outbound = false;
    bool connecting = false;  ///< a non-blocking connect is under way
    bool broken = false;      ///< closed for the session; the I/O thread releases the socket
    Phase phase = Phase::SessionHello;
    std::unique_ptr<WatchLinkCipher> cipher;
    std::vector<std::uint8_t> raw;  ///< handshake bytes collected so far
    WatchFrameReader reader;
    std::vector<std::uint8_t> out;  ///< bytes the socket has not taken yet, from outStart
    std::size_t outStart = 0;
    std::string peer;
    std::chrono::steady_clock::time_point handshakeDeadline{};
    // Sending side.
    std::uint64_t contextSent = 0;
    std::uint64_t userInfoSentThrough = 0;
    std::size_t userInfoInFlight = 0;
    // Receiving side: what is queued for hand-over, so a resend is not queued twice.
    std::uint64_t contextQueued = 0;
    std::uint64_t userInfoQueued = 0;
    /// A hand-over could not happen (no delegate, no disk): later ones wait for a new link, so
    /// none overtakes it.
    bool handOverStopped = false;

    std::size_t pendingOutput() const { return out.size() - outStart; }
};

}  // namespace vk
/// @endcond
