// WCCommands: sends watch messages through a watch session: as an interactive message (waiting
// for a reply or not), as the session's application context, or as a queued user-info transfer.
//
// Each operation first checks that the session is activated; otherwise it returns
// WCCommandError::SessionNotActive, sends nothing and calls no handler. Delivery failures are
// logged (category "WCCommands"; the failing message's contents only as a private value) and not
// passed on, except that a waiting reply handler is then called with nothing.
//
// Thread rule: keeps no state of its own; usable from any thread. Reply handlers run on the
// session's background queue (see WatchSession.h), exactly once; they hop to another queue
// themselves when they need one.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "VornKit/Export.h"
#include "VornKit/Platform/Watch/WatchSession.h"
#include "VornKit/Watch/WCMessages.h"

namespace vk {

/// Receives the reply to a message: the parsed reply, or nothing when the reply could not be
/// read or the message failed.
using WCReplyHandler = std::function<void(std::optional<WCMessage>)>;

/// Sends watch messages through a watch session (see the top of this file). Keeps no state of its
/// own; usable from any thread. Reply handlers run once, on the session's queue.
class VK_EXPORT WCCommands {
  public:
    /// Sends through WatchSession::defaultSession(), looked up at each call.
    WCCommands() = default;
    /// Sends through `session` (a companion's own connecting session, a test double).
    explicit WCCommands(std::shared_ptr<WatchSession> session) : session_(std::move(session)) {}

    /// An interactive message; with `replyHandler` the receiver is asked for a reply.
    [[nodiscard]] std::optional<WCCommandError> sendMessage(const WCMessage& message,
                                                            WCReplyHandler replyHandler = {});
    /// Replaces the session's application context with the message.
    [[nodiscard]] std::optional<WCCommandError> updateApplicationContext(const WCMessage& message);
    /// Queues the message for delivery in the background, in order, surviving restarts.
    [[nodiscard]] std::optional<WCCommandError> sendUserInfo(const WCMessage& message);

  private:
    /// The session when it is activated, else nullptr.
    std::shared_ptr<WatchSession> activeSession() const;

    std::shared_ptr<WatchSession> session_;
};

}  // namespace vk
