// SocketWatchSession, what goes out: messages, the application context and the user-info queue,
// acknowledgements and replies, and the framing and flushing of bytes onto a connection.
#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <cerrno>

#include "VornKit/Platform/Watch/SocketWatchConnection.h"

namespace vk {

using namespace detail::watch;

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

}  // namespace vk
