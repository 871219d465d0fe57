// SocketWatchSession, its I/O thread: timers (replies, handshakes, reconnecting), poll(2) over
// the wake-up descriptor, the listening socket and every connection, accepting, and reading.
#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "VornKit/Platform/Watch/SocketWatchConnection.h"

namespace vk {

using namespace detail::watch;

void SocketWatchSession::ioLoop() {
    std::vector<pollfd> fds;
    std::vector<Connection*> owners;
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        auto now = SteadyClock::now();
        // Timers: replies that did not come, handshakes that did not finish.
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.deadline <= now) {
                postError(std::move(it->second.error),
                          makeError(it->second.reply ? WatchSessionErrorCode::messageReplyTimedOut
                                                     : WatchSessionErrorCode::deliveryFailed));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& connection : connections_) {
            if (connection->phase != Connection::Phase::Established &&
                connection->handshakeDeadline <= now) {
                closeLocked(*connection, nullptr);
            }
        }
        // Release the sockets of closed connections (only this thread closes descriptors).
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& connection) {
            if (!connection->broken)
                return false;
            ::close(connection->fd);
            return true;
        });
        bool connector = configuration_.role == WatchSessionConfiguration::Role::connector;
        if (connector && connections_.empty() && now >= nextConnectAttempt_)
            startConnectLocked();

        SteadyClock::time_point wakeAt = SteadyClock::time_point::max();
        for (const auto& [number, pending] : pending_)
            wakeAt = std::min(wakeAt, pending.deadline);
        fds.clear();
        owners.clear();
        fds.push_back(pollfd{wakeFd_, POLLIN, 0});
        owners.push_back(nullptr);
        if (listenFd_ >= 0) {
            fds.push_back(pollfd{listenFd_, POLLIN, 0});
            owners.push_back(nullptr);
        }
        for (auto& connection : connections_) {
            if (connection->broken)
                continue;
            short events = POLLIN;
            if (connection->connecting || connection->pendingOutput() > 0)
                events |= POLLOUT;
            fds.push_back(pollfd{connection->fd, events, 0});
            owners.push_back(connection.get());
            if (connection->phase != Connection::Phase::Established)
                wakeAt = std::min(wakeAt, connection->handshakeDeadline);
        }
        if (connector && connections_.empty())
            wakeAt = std::min(wakeAt, nextConnectAttempt_);
        ioWakeAt_ = wakeAt;
        int timeout = -1;
        if (wakeAt != SteadyClock::time_point::max()) {
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60000));
        }
        lock.unlock();
        ::poll(fds.data(), fds.size(), timeout);
        lock.lock();
        if (stopping_)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            short revents = fds[i].revents;
            if (revents == 0)
                continue;
            if (fds[i].fd == wakeFd_ && owners[i] == nullptr) {
                std::uint64_t count = 0;
                [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
                continue;
            }
            if (owners[i] == nullptr) {
                // The listening socket: take every waiting connection.
                while (true) {
                    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0)
                        break;
                    if (!isTcp() && !peerIsThisUser(fd)) {
                        ::close(fd);
                        continue;
                    }
                    // Slots full: the oldest connection still in its handshake makes room. A
                    // peer that holds the key proves it within a round trip; one that idles
                    // cannot keep it out.
                    Connection* oldest = nullptr;
                    std::size_t handshaking = 0;
                    for (const auto& c : connections_) {
                        if (c->phase == Connection::Phase::Established || c->broken || c->outbound)
                            continue;
                        ++handshaking;
                        if (oldest == nullptr || c->generation < oldest->generation)
                            oldest = c.get();
                    }
                    if (handshaking >= kMaxHandshaking && oldest != nullptr)
                        closeLocked(*oldest, nullptr);
                    auto connection = std::make_unique<Connection>(kHandshakeFrameLimit);
                    connection->fd = fd;
                    connection->generation = nextGeneration_++;
                    connection->handshakeDeadline = now + configuration_.handshakeTimeout;
                    if (isTcp()) {
                        setTcpOptions(fd);
                        connection->cipher = std::make_unique<WatchLinkCipher>(*pairingKey_, false);
                        connection->phase = Connection::Phase::KeyHello;
                        connections_.push_back(std::move(connection));
                    } else {
                        Connection& added = *connections_.emplace_back(std::move(connection));
                        WatchWireFrame hello;
                        hello.session = store_.sessionId();
                        sendFrameLocked(added, hello.toValue());
                    }
                }
                continue;
            }
            Connection& connection = *owners[i];
            if (connection.broken)
                continue;
            if (connection.connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || (revents & (POLLERR | POLLHUP))) {
                    closeLocked(connection, nullptr);
                    continue;
                }
                if (!(revents & POLLOUT))
                    continue;
                connection.connecting = false;
                if (connection.cipher) {
                    auto hello = connection.cipher->hello();
                    connection.out.insert(connection.out.end(), hello.begin(), hello.end());
                } else {
                    if (!peerIsThisUser(connection.fd)) {
                        closeLocked(connection, nullptr);
                        continue;
                    }
                    WatchWireFrame hello;
                    hello.session = store_.sessionId();
                    sendFrameLocked(connection, hello.toValue());
                }
                flushLocked(connection);
                continue;
            }
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                // Read what is there, a bounded amount per turn so no link starves the others.
                for (int round = 0; round < 16 && !connection.broken; ++round) {
                    ssize_t n = ::recv(connection.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                    if (n > 0) {
                        if (!feedLocked(connection, buffer.data(), static_cast<std::size_t>(n)))
                            closeLocked(connection, "the counterpart sent something unreadable");
                        if (static_cast<std::size_t>(n) < buffer.size())
                            break;
                        continue;
                    }
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                        break;
                    closeLocked(connection, "the counterpart went away");
                    break;
                }
            }
            if ((revents & POLLOUT) && !connection.broken)
                flushLocked(connection);
        }
    }
}

}  // namespace vk
