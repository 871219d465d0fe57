// SocketWatchSession, its connections: connecting, the handshake (the paired TCP key exchange and
// the hello frames), promotion to the established link, closing; and the socket helpers of
// SocketWatchConnection.h.
#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Watch/SocketWatchConnection.h"

namespace vk {

using namespace detail::watch;

namespace detail::watch {

void note(const char* format, const std::string& detail) {
    consoleLog("WatchSession", format, detail.c_str());
}

bool peerIsThisUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::geteuid();
}

bool fillUnixAddress(const std::filesystem::path& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

void setTcpOptions(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = 15;
    int interval = 5;
    int count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool resolve(const std::string& host, std::uint16_t port, bool passive, AddressList& out,
             std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    std::string service = std::to_string(port);
    int status =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &out.head);
    if (status != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(status);
        return false;
    }
    return true;
}

WatchSessionError makeError(WatchSessionErrorCode code, std::string detail) {
    return WatchSessionError::make(code, std::move(detail));
}

}  // namespace detail::watch

// ---------------------------------------------------------------------------------------------
// Connections

void SocketWatchSession::closeLocked(Connection& connection, const char* why) {
    if (connection.broken)
        return;
    connection.broken = true;
    if (why != nullptr && connection.phase == Connection::Phase::Established)
        note("Watch session link closed: %s", why);
    if (connection.generation == establishedGeneration_) {
        establishedGeneration_ = 0;
        failPendingLocked(connection.generation, WatchSessionErrorCode::deliveryFailed);
        if (reachable_) {
            reachable_ = false;
            post([](SocketWatchSession& s, WatchSessionDelegate& d) {
                d.sessionReachabilityDidChange(s);
            });
        }
    }
    if (connection.outbound)
        nextConnectAttempt_ = SteadyClock::now() + configuration_.reconnectInterval;
    wake();
}

void SocketWatchSession::failPendingLocked(std::uint64_t generation, WatchSessionErrorCode code) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (generation == 0 || it->second.generation == generation) {
            postError(std::move(it->second.error), makeError(code));
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

void SocketWatchSession::noteDeadlineLocked(SteadyClock::time_point deadline) {
    if (deadline < ioWakeAt_)
        wake();
}

void SocketWatchSession::promoteLocked(Connection& connection) {
    for (auto& other : connections_) {
        if (other.get() != &connection && other->phase == Connection::Phase::Established)
            closeLocked(*other, "the counterpart connected again");
    }
    connection.phase = Connection::Phase::Established;
    connection.reader.setMaxFrameSize(configuration_.maxFrameSize +
                                      (connection.cipher ? WatchLinkCipher::kSealOverhead : 0));
    establishedGeneration_ = connection.generation;
    if (!reachable_) {
        reachable_ = true;
        post([](SocketWatchSession& s, WatchSessionDelegate& d) {
            d.sessionReachabilityDidChange(s);
        });
    }
    if (store_.counterpart() != connection.peer && store_.setCounterpart(connection.peer)) {
        post([](SocketWatchSession& s, WatchSessionDelegate& d) {
            d.sessionWatchStateDidChange(s);
        });
    }
    sendQueuedLocked(connection);
}

void SocketWatchSession::startConnectLocked() {
    auto connection = std::make_unique<Connection>(kHandshakeFrameLimit);
    connection->generation = nextGeneration_++;
    connection->outbound = true;
    connection->handshakeDeadline = SteadyClock::now() + configuration_.handshakeTimeout;
    nextConnectAttempt_ = SteadyClock::now() + configuration_.reconnectInterval;
    int fd = -1;
    bool connected = false;
    if (isTcp()) {
        AddressList addresses;
        std::string error;
        if (!resolve(*configuration_.tcpHost, configuration_.tcpPort, false, addresses, error))
            return;
        for (addrinfo* a = addresses.head; a != nullptr && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          a->ai_protocol);
            if (fd < 0)
                continue;
            setTcpOptions(fd);
            if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
                connected = true;
            } else if (errno != EINPROGRESS) {
                ::close(fd);
                fd = -1;
            }
        }
        if (fd < 0)
            return;
        connection->cipher = std::make_unique<WatchLinkCipher>(*pairingKey_, true);
        connection->phase = Connection::Phase::KeyHello;
    } else {
        sockaddr_un address{};
        if (!fillUnixAddress(configuration_.socketPath, address))
            return;
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            connected = true;
        } else if (errno != EINPROGRESS && errno != EAGAIN) {
            ::close(fd);
            return;
        }
    }
    connection->fd = fd;
    connection->connecting = !connected;
    Connection& added = *connections_.emplace_back(std::move(connection));
    if (connected) {
        if (!isTcp() && !peerIsThisUser(fd)) {
            closeLocked(added, nullptr);
            return;
        }
        if (added.cipher) {
            auto hello = added.cipher->hello();
            added.out.insert(added.out.end(), hello.begin(), hello.end());
            flushLocked(added);
        } else {
            WatchWireFrame hello;
            hello.session = store_.sessionId();
            sendFrameLocked(added, hello.toValue());
        }
    }
}

bool SocketWatchSession::feedLocked(Connection& connection, const std::uint8_t* bytes,
                                    std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        if (connection.phase == Connection::Phase::KeyHello ||
            connection.phase == Connection::Phase::Header) {
            std::size_t need = connection.phase == Connection::Phase::KeyHello
                                   ? WatchLinkCipher::kHelloSize
                                   : WatchLinkCipher::kHeaderSize;
            std::size_t take = std::min(size - at, need - connection.raw.size());
            connection.raw.insert(connection.raw.end(), bytes + at, bytes + at + take);
            at += take;
            if (connection.raw.size() < need)
                return true;
            if (connection.phase == Connection::Phase::KeyHello) {
                if (!connection.cipher->acceptPeerHello(connection.raw.data())) {
                    note("Refused a watch link: %s", "its handshake is not this protocol's");
                    return false;
                }
                if (connection.outbound) {
                    // The initiator proves it holds the key right away: header, then hello.
                    auto header = connection.cipher->header();
                    connection.out.insert(connection.out.end(), header.begin(), header.end());
                    WatchWireFrame hello;
                    hello.session = store_.sessionId();
                    sendFrameLocked(connection, hello.toValue());
                } else {
                    auto hello = connection.cipher->hello();
                    connection.out.insert(connection.out.end(), hello.begin(), hello.end());
                    flushLocked(connection);
                }
                connection.phase = Connection::Phase::Header;
            } else {
                if (!connection.cipher->acceptPeerHeader(connection.raw.data()))
                    return false;
                connection.phase = Connection::Phase::SessionHello;
            }
            connection.raw.clear();
            continue;
        }
        connection.reader.append(bytes + at, size - at);
        at = size;
        std::vector<std::uint8_t> body;
        while (!connection.broken) {
            auto status = connection.reader.next(body);
            if (status == WatchFrameReader::Status::NeedMore)
                break;
            if (status == WatchFrameReader::Status::TooLarge) {
                note("Dropped a watch link: %s", "a frame larger than the limit");
                return false;
            }
            if (!handleFrameLocked(connection, body))
                return false;
        }
    }
    return true;
}

bool SocketWatchSession::handleFrameLocked(Connection& connection,
                                           std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> opened;
    const std::vector<std::uint8_t>* plain = &body;
    if (connection.cipher) {
        if (!connection.cipher->open(body.data(), body.size(), opened)) {
            note("Refused a watch link: %s",
                 connection.phase == Connection::Phase::Established
                     ? "a frame that does not open with the link's key"
                     : "the peer is not paired (its frames do not open with the pairing key)");
            return false;
        }
        plain = &opened;
    }
    std::string reason;
    auto value = decodeBinaryPlist(plain->data(), plain->size(), configuration_.limits, &reason);
    if (!value) {
        note("Dropped a watch link: a frame that is not a property list (%s)", reason);
        return false;
    }
    auto frame = WatchWireFrame::fromValue(*value);
    if (!frame) {
        note("Dropped a watch link: %s", "a frame of an unknown form");
        return false;
    }
    return handleWireFrameLocked(connection, *frame);
}

}  // namespace vk
