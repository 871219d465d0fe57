// SocketWatchSession: configuration defaults, construction, the delegate and handler calls, the
// accessors, activation and deactivation with the listening socket, and stopping the I/O thread.
// The other parts are named in SocketWatchConnection.h.
#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Watch/SocketWatchConnection.h"

namespace vk {

using namespace detail::watch;

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

}  // namespace vk
