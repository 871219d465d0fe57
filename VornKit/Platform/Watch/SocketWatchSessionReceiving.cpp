// SocketWatchSession, what comes in: the frames of an established link (messages, replies,
// deliveries, the context and user-info transfers) and their hand-over to the delegate, recorded
// on disk before they are acknowledged.
#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include <atomic>

#include "VornKit/Platform/Watch/SocketWatchConnection.h"

namespace vk {

using namespace detail::watch;

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

}  // namespace vk
