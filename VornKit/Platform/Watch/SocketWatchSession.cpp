#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Watch/WatchFrame.h"

namespace vk {

namespace {

using SteadyClock = std::chrono::steady_clock;

/// Frames a link accepts before its handshake is complete (a hello is about a hundred bytes).
constexpr std::size_t kHandshakeFrameLimit = 4096;
/// User-info transfers sent and not yet acknowledged, per link.
constexpr std::size_t kUserInfoWindow = 64;
/// Connections still in their handshake a listener keeps at once; a new one replaces the oldest.
constexpr std::size_t kMaxHandshaking = 8;

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

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head != nullptr)
            ::freeaddrinfo(head);
    }
};

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

WatchSessionError makeError(WatchSessionErrorCode code, std::string detail = {}) {
    return WatchSessionError::make(code, std::move(detail));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::filesystem::path WatchSessionConfiguration::defaultSocketPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        return std::filesystem::path(runtime) / "vornkit" / "watch.sock";
    return Environment::current()->temporaryDirectory() /
           ("vornkit-" + std::to_string(::geteuid())) / "watch.sock";
}

std::filesystem::path WatchSessionConfiguration::defaultStateDirectory() {
    return Environment::current()->dataHome() / Bundle::main().identifier.value_or("vornkit") /
           "WatchSession";
}

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
    SteadyClock::time_point handshakeDeadline{};
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

/// The receiving side's promise to answer one message: answered once, by the handler or, when
/// the last copy of the handler goes away unused, with "reply failed".
struct SocketWatchSession::ReplyState {
    ReplyState(std::weak_ptr<SocketWatchSession> session, std::uint64_t generation,
               std::uint64_t number)
        : session(std::move(session)), generation(generation), number(number) {}
    ~ReplyState() { answer(nullptr); }

    void answer(const PlistDictionary* reply) {
        if (answered.exchange(true))
            return;
        if (auto s = session.lock())
            s->sendReply(generation, number, reply);
    }

    std::weak_ptr<SocketWatchSession> session;
    std::uint64_t generation;
    std::uint64_t number;
    std::atomic<bool> answered{false};
};

std::shared_ptr<SocketWatchSession> SocketWatchSession::make(
    WatchSessionConfiguration configuration) {
    return std::shared_ptr<SocketWatchSession>(new SocketWatchSession(std::move(configuration)));
}

namespace {

WatchSessionConfiguration completed(WatchSessionConfiguration configuration) {
    if (configuration.socketPath.empty())
        configuration.socketPath = WatchSessionConfiguration::defaultSocketPath();
    if (configuration.stateDirectory.empty())
        configuration.stateDirectory = WatchSessionConfiguration::defaultStateDirectory();
    return configuration;
}

}  // namespace

SocketWatchSession::SocketWatchSession(WatchSessionConfiguration configuration)
    : configuration_(completed(std::move(configuration))),
      queue_(DispatchQueue::makeSerial("vk.watch-session")),
      store_(configuration_.stateDirectory, configuration_.limits) {}

SocketWatchSession::~SocketWatchSession() {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::unique_lock lock(mutex_);
    if (ioThread_.joinable()) {
        stopLocked(lock);
        failPendingLocked(0, WatchSessionErrorCode::sessionInvalidated);
    }
}

// ---------------------------------------------------------------------------------------------
// Delegate and handler calls

void SocketWatchSession::post(
    std::function<void(SocketWatchSession&, WatchSessionDelegate&)> call) {
    queue_->async([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto delegate = self->delegate())
            call(*self, *delegate);
    });
}

void SocketWatchSession::postError(WatchErrorHandler handler, WatchSessionError error) {
    if (!handler)
        return;
    queue_->async([handler = std::move(handler), error = std::move(error)] { handler(error); });
}

void SocketWatchSession::wake() {
    if (wakeFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }
}

void SocketWatchSession::setDelegate(std::weak_ptr<WatchSessionDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<WatchSessionDelegate> SocketWatchSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

WatchActivationState SocketWatchSession::activationState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool SocketWatchSession::isReachable() const {
    std::lock_guard lock(mutex_);
    return reachable_;
}

bool SocketWatchSession::isPaired() const {
    return !store_.counterpart().empty();
}

std::string SocketWatchSession::counterpartSessionId() const {
    return store_.counterpart();
}

std::string SocketWatchSession::sessionId() const {
    return store_.sessionId();
}

std::optional<WatchSessionError> SocketWatchSession::activationError() const {
    std::lock_guard lock(mutex_);
    return activationError_;
}

std::uint16_t SocketWatchSession::boundPort() const {
    std::lock_guard lock(mutex_);
    return boundPort_;
}

PlistDictionary SocketWatchSession::applicationContext() const {
    auto context = store_.applicationContext();
    return context ? context->second : PlistDictionary{};
}

PlistDictionary SocketWatchSession::receivedApplicationContext() const {
    return store_.receivedApplicationContext();
}

std::vector<WatchUserInfoTransfer> SocketWatchSession::outstandingUserInfoTransfers() const {
    return store_.pendingUserInfo();
}

// ---------------------------------------------------------------------------------------------
// Activation

void SocketWatchSession::activate() {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::unique_lock lock(mutex_);
    if (state_ == WatchActivationState::activated) {
        post([](SocketWatchSession& s, WatchSessionDelegate& d) {
            d.activationDidComplete(s, WatchActivationState::activated, std::nullopt);
        });
        return;
    }
    activationError_.reset();
    auto fail = [&](WatchSessionErrorCode code, const std::string& why) {
        note("Cannot activate the watch session: %s", why);
        auto error = makeError(code, why);
        activationError_ = error;
        post([error](SocketWatchSession& s, WatchSessionDelegate& d) {
            d.activationDidComplete(s, WatchActivationState::notActivated, error);
        });
    };
    std::string error;
    const bool wasOpen = store_.isOpen();
    if (!store_.open(error))
        return fail(WatchSessionErrorCode::fileAccessDenied, error);
    // A failure from here on leaves the state directory to whichever session activates next.
    auto failOpened = [&](WatchSessionErrorCode code, const std::string& why) {
        if (!wasOpen)
            store_.close();
        fail(code, why);
    };
    if (isTcp()) {
        pairingKey_ = readWatchPairingKey(configuration_.pairingKeyFile, error);
        if (!pairingKey_)
            return failOpened(WatchSessionErrorCode::notPaired, error);
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        return failOpened(WatchSessionErrorCode::genericError, std::strerror(errno));
    if (configuration_.role == WatchSessionConfiguration::Role::listener && !listenLocked(error)) {
        ::close(wakeFd_);
        wakeFd_ = -1;
        return failOpened(WatchSessionErrorCode::genericError, error);
    }
    state_ = WatchActivationState::activated;
    stopping_ = false;
    nextConnectAttempt_ = SteadyClock::now();
    ioThread_ = std::thread([this] { ioLoop(); });
    post([](SocketWatchSession& s, WatchSessionDelegate& d) {
        d.activationDidComplete(s, WatchActivationState::activated, std::nullopt);
    });
}

void SocketWatchSession::deactivate() {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::unique_lock lock(mutex_);
    if (state_ != WatchActivationState::activated)
        return;
    state_ = WatchActivationState::inactive;
    post([](SocketWatchSession& s, WatchSessionDelegate& d) { d.sessionDidBecomeInactive(s); });
    stopLocked(lock);
    failPendingLocked(0, WatchSessionErrorCode::deliveryFailed);
    // A deactivated session leaves its state directory to whichever session activates next.
    store_.close();
    state_ = WatchActivationState::notActivated;
    post([](SocketWatchSession& s, WatchSessionDelegate& d) { d.sessionDidDeactivate(s); });
}

bool SocketWatchSession::listenLocked(std::string& error) {
    if (isTcp()) {
        AddressList addresses;
        if (!resolve(*configuration_.tcpHost, configuration_.tcpPort, true, addresses, error))
            return false;
        for (addrinfo* a = addresses.head; a != nullptr; a = a->ai_next) {
            int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              a->ai_protocol);
            if (fd < 0)
                continue;
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 16) == 0) {
                sockaddr_storage bound{};
                socklen_t length = sizeof bound;
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
                boundPort_ = ntohs(bound.ss_family == AF_INET6
                                       ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
                listenFd_ = fd;
                return true;
            }
            error = "cannot listen on " + *configuration_.tcpHost + ":" +
                    std::to_string(configuration_.tcpPort) + ": " + std::strerror(errno);
            ::close(fd);
        }
        if (error.empty())
            error = "no address to listen on";
        return false;
    }
    const std::filesystem::path& path = configuration_.socketPath;
    sockaddr_un address{};
    if (!fillUnixAddress(path, address)) {
        error = "the socket path " + path.string() + " is too long";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path().parent_path(), ec);
    if (!WatchSessionStore::makePrivateDirectory(path.parent_path(), error))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    int status = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (status != 0 && errno == EADDRINUSE) {
        // A socket file is there: in use when something answers on it, else left over.
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 &&
                    ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (live) {
            ::close(fd);
            error = "another session listens on " + path.string();
            return false;
        }
        ::unlink(path.c_str());
        status = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (status != 0) {
        error = "cannot bind " + path.string() + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd, 16) != 0) {
        error = "cannot listen on " + path.string() + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    listenFd_ = fd;
    ownsSocketFile_ = true;
    return true;
}

void SocketWatchSession::stopLocked(std::unique_lock<std::mutex>& lock) {
    stopping_ = true;
    wake();
    if (ioThread_.joinable()) {
        std::thread thread = std::move(ioThread_);
        lock.unlock();
        thread.join();
        lock.lock();
    }
    for (auto& connection : connections_)
        closeLocked(*connection, nullptr);
    for (auto& connection : connections_)
        ::close(connection->fd);
    connections_.clear();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (ownsSocketFile_) {
        ::unlink(configuration_.socketPath.c_str());
        ownsSocketFile_ = false;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
    boundPort_ = 0;
    stopping_ = false;
}

// ---------------------------------------------------------------------------------------------
// Sending

void SocketWatchSession::sendMessage(const PlistDictionary& message, WatchReplyHandler replyHandler,
                                     WatchErrorHandler errorHandler) {
    std::lock_guard lock(mutex_);
    if (state_ != WatchActivationState::activated)
        return postError(std::move(errorHandler),
                         makeError(WatchSessionErrorCode::sessionNotActivated));
    Connection* connection = establishedLocked();
    if (connection == nullptr)
        return postError(std::move(errorHandler), makeError(WatchSessionErrorCode::notReachable));
    std::uint64_t number = nextMessageNumber_++;
    WatchWireFrame frame;
    frame.type = WatchWireFrame::Type::Message;
    frame.number = number;
    frame.expectsReply = static_cast<bool>(replyHandler);
    frame.body = message;
    auto deadline = SteadyClock::now() + configuration_.replyTimeout;
    // Registered first: the reply may be read as soon as the bytes leave.
    pending_.emplace(
        number, Pending{std::move(replyHandler), errorHandler, deadline, connection->generation});
    WatchSessionError error;
    if (!sendFrameLocked(*connection, frame.toValue(), &error)) {
        if (pending_.erase(number) > 0)
            postError(std::move(errorHandler), error);
        return;
    }
    noteDeadlineLocked(deadline);
}

std::optional<WatchSessionError> SocketWatchSession::updateApplicationContext(
    const PlistDictionary& context) {
    if (activationState() != WatchActivationState::activated)
        return makeError(WatchSessionErrorCode::sessionNotActivated);
    auto encoded = encodeBinaryPlist(PlistValue(context), configuration_.limits);
    if (!encoded)
        return makeError(WatchSessionErrorCode::payloadUnsupportedTypes);
    if (encoded->size() + 64 > configuration_.maxFrameSize)
        return makeError(WatchSessionErrorCode::payloadTooLarge);
    std::string why;
    if (!store_.setApplicationContext(context, why))
        return makeError(WatchSessionErrorCode::fileAccessDenied, why);
    std::lock_guard lock(mutex_);
    if (Connection* connection = establishedLocked())
        sendQueuedLocked(*connection);
    return std::nullopt;
}

std::shared_ptr<WatchUserInfoTransfer> SocketWatchSession::transferUserInfo(
    const PlistDictionary& userInfo) {
    auto transfer = std::make_shared<WatchUserInfoTransfer>(WatchUserInfoTransfer{0, userInfo});
    auto failWith = [&](WatchSessionError error) {
        post([transfer, error](SocketWatchSession& s, WatchSessionDelegate& d) {
            d.didFinishUserInfoTransfer(s, *transfer, error);
        });
        return transfer;
    };
    if (activationState() != WatchActivationState::activated)
        return failWith(makeError(WatchSessionErrorCode::sessionNotActivated));
    auto encoded = encodeBinaryPlist(PlistValue(userInfo), configuration_.limits);
    if (!encoded)
        return failWith(makeError(WatchSessionErrorCode::payloadUnsupportedTypes));
    if (encoded->size() + 64 > configuration_.maxFrameSize)
        return failWith(makeError(WatchSessionErrorCode::payloadTooLarge));
    std::string why;
    auto queued = store_.enqueueUserInfo(userInfo, *encoded, why);
    if (!queued)
        return failWith(makeError(WatchSessionErrorCode::fileAccessDenied, why));
    transfer->identifier = queued->identifier;
    std::lock_guard lock(mutex_);
    if (Connection* connection = establishedLocked())
        sendQueuedLocked(*connection);
    return transfer;
}

SocketWatchSession::Connection* SocketWatchSession::establishedLocked() const {
    if (establishedGeneration_ == 0)
        return nullptr;
    for (const auto& connection : connections_) {
        if (connection->generation == establishedGeneration_ && !connection->broken)
            return connection.get();
    }
    return nullptr;
}

bool SocketWatchSession::sendFrameLocked(Connection& connection, const PlistValue& frame,
                                         WatchSessionError* error) {
    auto fail = [&](WatchSessionErrorCode code) {
        if (error != nullptr)
            *error = makeError(code);
        return false;
    };
    if (connection.broken)
        return fail(WatchSessionErrorCode::deliveryFailed);
    auto bytes = encodeBinaryPlist(frame, configuration_.limits);
    if (!bytes)
        return fail(WatchSessionErrorCode::payloadUnsupportedTypes);
    if (bytes->size() > configuration_.maxFrameSize)
        return fail(WatchSessionErrorCode::payloadTooLarge);
    if (connection.outStart > 0 && connection.outStart >= connection.out.size() / 2) {
        connection.out.erase(
            connection.out.begin(),
            connection.out.begin() + static_cast<std::ptrdiff_t>(connection.outStart));
        connection.outStart = 0;
    }
    if (connection.cipher) {
        auto sealed = connection.cipher->seal(bytes->data(), bytes->size());
        appendFrame(connection.out, sealed.data(), sealed.size());
    } else {
        appendFrame(connection.out, bytes->data(), bytes->size());
    }
    flushLocked(connection);
    return true;
}

void SocketWatchSession::flushLocked(Connection& connection) {
    while (connection.pendingOutput() > 0 && !connection.connecting && !connection.broken) {
        ssize_t n = ::send(connection.fd, connection.out.data() + connection.outStart,
                           connection.pendingOutput(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            connection.outStart += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wake();  // the I/O thread waits for the socket to take more
            break;
        }
        closeLocked(connection, "the link broke while sending");
        return;
    }
    if (connection.pendingOutput() == 0) {
        connection.out.clear();
        connection.outStart = 0;
    } else if (connection.pendingOutput() > 8 * configuration_.maxFrameSize) {
        closeLocked(connection, "the counterpart does not read what it is sent");
    }
}

void SocketWatchSession::sendQueuedLocked(Connection& connection) {
    if (connection.phase != Connection::Phase::Established)
        return;
    if (auto context = store_.applicationContext();
        context && context->first > connection.contextSent) {
        WatchWireFrame frame;
        frame.type = WatchWireFrame::Type::Context;
        frame.number = context->first;
        frame.body = std::move(context->second);
        if (!sendFrameLocked(connection, frame.toValue()))
            return;
        connection.contextSent = frame.number;
    }
    while (connection.userInfoInFlight < kUserInfoWindow &&
           connection.pendingOutput() < configuration_.maxFrameSize && !connection.broken) {
        auto next = store_.pendingUserInfoAfter(connection.userInfoSentThrough, 1);
        if (next.empty())
            break;
        WatchWireFrame frame;
        frame.type = WatchWireFrame::Type::UserInfo;
        frame.number = next.front().identifier;
        frame.body = std::move(next.front().userInfo);
        connection.userInfoSentThrough = frame.number;
        WatchSessionError error;
        if (!sendFrameLocked(connection, frame.toValue(), &error)) {
            if (connection.broken)
                return;
            // It cannot travel under this link's limits: report it and take it off the queue.
            if (auto dropped = store_.removeUserInfo(frame.number)) {
                post([transfer = *dropped, error](SocketWatchSession& s, WatchSessionDelegate& d) {
                    d.didFinishUserInfoTransfer(s, transfer, error);
                });
            }
            continue;
        }
        ++connection.userInfoInFlight;
    }
}

void SocketWatchSession::sendAck(std::uint64_t generation, const PlistValue& frame) {
    std::lock_guard lock(mutex_);
    Connection* connection = establishedLocked();
    if (connection != nullptr && connection->generation == generation)
        sendFrameLocked(*connection, frame);
}

void SocketWatchSession::sendReply(std::uint64_t generation, std::uint64_t number,
                                   const PlistDictionary* reply) {
    std::lock_guard lock(mutex_);
    Connection* connection = establishedLocked();
    if (connection == nullptr || connection->generation != generation)
        return;  // the sender already had its error when the link broke
    WatchWireFrame frame;
    frame.number = number;
    if (reply != nullptr) {
        frame.type = WatchWireFrame::Type::Reply;
        frame.body = *reply;
        WatchSessionError error;
        if (sendFrameLocked(*connection, frame.toValue(), &error) || connection->broken)
            return;
        note("Cannot send a reply: %s", error.description());
        frame.body.clear();
    }
    frame.type = WatchWireFrame::Type::ReplyFailed;
    sendFrameLocked(*connection, frame.toValue());
}

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

bool SocketWatchSession::handleWireFrameLocked(Connection& connection, WatchWireFrame& frame) {
    using Type = WatchWireFrame::Type;
    if (connection.phase != Connection::Phase::Established) {
        if (frame.type != Type::Hello)
            return false;
        if (frame.session == store_.sessionId()) {
            note("Refused a watch link: %s", "it leads back to this session");
            return false;
        }
        connection.peer = frame.session;
        if (connection.cipher && !connection.outbound) {
            // The peer has proven it holds the key: only now does it hear from this side.
            auto header = connection.cipher->header();
            connection.out.insert(connection.out.end(), header.begin(), header.end());
            WatchWireFrame hello;
            hello.session = store_.sessionId();
            if (!sendFrameLocked(connection, hello.toValue()))
                return false;
        }
        promoteLocked(connection);
        return true;
    }
    std::uint64_t generation = connection.generation;
    switch (frame.type) {
        case Type::Hello:
            return false;
        case Type::Message: {
            if (frame.expectsReply) {
                // Only the block owns the promise: if it is dropped unused (no delegate) the
                // sender hears "reply failed" at once.
                post([state =
                          std::make_shared<ReplyState>(weak_from_this(), generation, frame.number),
                      body = std::move(frame.body)](SocketWatchSession& s,
                                                    WatchSessionDelegate& d) mutable {
                    d.didReceiveMessage(s, body,
                                        [state = std::move(state)](const PlistDictionary& reply) {
                                            state->answer(&reply);
                                        });
                });
            } else {
                WatchWireFrame delivered;
                delivered.type = Type::Delivered;
                delivered.number = frame.number;
                sendFrameLocked(connection, delivered.toValue());
                post(
                    [body = std::move(frame.body)](SocketWatchSession& s, WatchSessionDelegate& d) {
                        d.didReceiveMessage(s, body);
                    });
            }
            return true;
        }
        case Type::Delivered: {
            auto it = pending_.find(frame.number);
            if (it != pending_.end() && !it->second.reply)
                pending_.erase(it);
            return true;
        }
        case Type::Reply: {
            auto it = pending_.find(frame.number);
            if (it != pending_.end() && it->second.reply) {
                queue_->async([reply = std::move(it->second.reply), body = std::move(frame.body)] {
                    reply(body);
                });
                pending_.erase(it);
            }
            return true;
        }
        case Type::ReplyFailed: {
            auto it = pending_.find(frame.number);
            if (it != pending_.end()) {
                postError(std::move(it->second.error),
                          makeError(WatchSessionErrorCode::messageReplyFailed));
                pending_.erase(it);
            }
            return true;
        }
        case Type::Context:
        case Type::UserInfo: {
            bool context = frame.type == Type::Context;
            if (connection.handOverStopped)
                return true;
            auto marks = store_.marks(connection.peer);
            std::uint64_t handed = context ? marks.context : marks.userInfo;
            std::uint64_t& queued = context ? connection.contextQueued : connection.userInfoQueued;
            if (frame.number <= handed) {
                // Already handed over (the acknowledgement was lost): acknowledge again.
                WatchWireFrame ack;
                ack.type = context ? Type::ContextAck : Type::UserInfoAck;
                ack.number = frame.number;
                sendFrameLocked(connection, ack.toValue());
                return true;
            }
            if (frame.number <= queued)
                return true;
            queued = frame.number;
            queue_->async([weak = weak_from_this(), generation, context, peer = connection.peer,
                           number = frame.number, body = std::move(frame.body)] {
                if (auto self = weak.lock()) {
                    if (context)
                        self->handOverContext(generation, peer, number, body);
                    else
                        self->handOverUserInfo(generation, peer, number, body);
                }
            });
            return true;
        }
        case Type::ContextAck:
            return true;
        case Type::UserInfoAck: {
            if (connection.userInfoInFlight > 0)
                --connection.userInfoInFlight;
            if (auto transfer = store_.removeUserInfo(frame.number)) {
                post([transfer = std::move(*transfer)](SocketWatchSession& s,
                                                       WatchSessionDelegate& d) {
                    d.didFinishUserInfoTransfer(s, transfer, std::nullopt);
                });
            }
            sendQueuedLocked(connection);
            return true;
        }
    }
    return false;
}

bool SocketWatchSession::handOverLive(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    Connection* connection = establishedLocked();
    return connection != nullptr && connection->generation == generation &&
           !connection->handOverStopped;
}

void SocketWatchSession::stopHandOvers(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
        if (connection->generation == generation)
            connection->handOverStopped = true;
    }
}

void SocketWatchSession::handOverUserInfo(std::uint64_t generation, const std::string& peer,
                                          std::uint64_t sequence, const PlistDictionary& body) {
    auto stop = [&] { stopHandOvers(generation); };
    if (!handOverLive(generation))
        return;  // the counterpart sends it again on its next link
    auto delegate = this->delegate();
    if (!delegate)
        return stop();
    WatchWireFrame ack;
    ack.type = WatchWireFrame::Type::UserInfoAck;
    ack.number = sequence;
    if (sequence > store_.marks(peer).userInfo) {
        // The record is ready on disk before the hand-over and put in place right after it:
        // once in place, a resent transfer is acknowledged, never handed over again.
        auto record = store_.prepareUserInfo(peer, sequence);
        if (!record) {
            note("Cannot record a received transfer in %s", store_.directory().string());
            return stop();
        }
        delegate->didReceiveUserInfo(*this, body);
        if (!store_.commit(*record)) {
            note("Cannot record a received transfer in %s", store_.directory().string());
            return stop();
        }
    }
    sendAck(generation, ack.toValue());
}

void SocketWatchSession::handOverContext(std::uint64_t generation, const std::string& peer,
                                         std::uint64_t version, const PlistDictionary& body) {
    auto stop = [&] { stopHandOvers(generation); };
    if (!handOverLive(generation))
        return;
    auto delegate = this->delegate();
    if (!delegate)
        return stop();
    WatchWireFrame ack;
    ack.type = WatchWireFrame::Type::ContextAck;
    ack.number = version;
    if (version > store_.marks(peer).context) {
        auto record = store_.prepareContext(peer, version, body);
        if (!record) {
            note("Cannot record a received context in %s", store_.directory().string());
            return stop();
        }
        delegate->didReceiveApplicationContext(*this, body);
        if (!store_.commit(*record)) {
            note("Cannot record a received context in %s", store_.directory().string());
            return stop();
        }
    }
    sendAck(generation, ack.toValue());
}

// ---------------------------------------------------------------------------------------------
// The I/O thread

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
