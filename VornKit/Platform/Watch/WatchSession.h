// WatchSession: the link between this application and its companion device (the watch), and the
// delegate through which it reports. Messages are property-list dictionaries (PropertyList.h).
//
// What it carries:
//   - interactive messages, with or without a reply, while the counterpart is reachable. Each
//     message's reply handler or error handler runs exactly once: the reply, or an error (not
//     reachable, the receiver will not reply, no reply in time, the link broke first). A message
//     without a reply handler calls its error handler only on a failure;
//   - the application context: one dictionary, the latest value wins. It is kept on disk and
//     handed to the counterpart when it connects, also after either side restarts;
//   - user-info transfers: queued on disk in order, delivered at least once and handed to the
//     counterpart's delegate once each, in order, also across restarts and broken links (a
//     counterpart that dies inside the delegate call gets that transfer again: never lost).
//
// Activation: activate() moves a session from notActivated to activated (or reports why it
// cannot); deactivate() passes through inactive back to notActivated. Reachable means the
// counterpart is connected now.
//
// Default session: defaultSession() is the one the framework's watch link uses. It is created on
// first use with SocketWatchSession's default configuration unless the host installed another
// with setDefaultSession() (tests install a WatchSessionDouble).
//
// Thread rule: thread-safe. Delegate calls, reply handlers and error handlers run on the
// session's own serial background queue, one at a time, never inline in the call that caused
// them; a handler that needs another queue hops there itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Coding/PropertyList.h"

namespace vk {

/// Where a session is in its activation cycle (see activate() and deactivate()).
enum class WatchActivationState : int {
    notActivated = 0,
    inactive = 1,
    activated = 2,
};

/// Why a watch-session operation failed; the numbers are the error codes hosts and logs show.
enum class WatchSessionErrorCode : int {
    genericError = 1,
    sessionNotActivated = 2,
    notReachable = 3,
    payloadTooLarge = 4,
    payloadUnsupportedTypes = 5,
    messageReplyFailed = 6,
    messageReplyTimedOut = 7,
    deliveryFailed = 8,
    fileAccessDenied = 9,
    sessionInvalidated = 10,
    notPaired = 11,
};

/// A failed watch-session operation: its code and a human-readable message. A plain value.
struct VK_EXPORT WatchSessionError {
    /// What failed.
    WatchSessionErrorCode code = WatchSessionErrorCode::genericError;
    /// The message for logs and the host's user interface ("... is not reachable.").
    std::string message;

    /// "<message> (WatchSessionErrorDomain error <code>)".
    std::string description() const;
    /// The error `code` with its standard message; a non-empty `detail` is added to it
    /// ("<message>: <detail>.").
    static WatchSessionError make(WatchSessionErrorCode code, std::string detail = {});
};

/// Called once with the counterpart's reply.
using WatchReplyHandler = std::function<void(const PlistDictionary& reply)>;
/// Called once with the reason a message failed.
using WatchErrorHandler = std::function<void(const WatchSessionError& error)>;

/// One queued user-info transfer. Thread rule: immutable.
struct VK_EXPORT WatchUserInfoTransfer {
    std::uint64_t identifier = 0;  ///< the transfer's place in the queue, increasing
    /// The dictionary transferred.
    PlistDictionary userInfo;
};

class WatchSession;

/// What the session reports. Called on the session's background queue; the default bodies do
/// nothing (a message that expects a reply then gets a "reply failed" error on the sender's side).
class VK_EXPORT WatchSessionDelegate {
  public:
    virtual ~WatchSessionDelegate() = default;

    /// After activate(): the state reached, and the error when it is not `activated`.
    virtual void activationDidComplete(WatchSession& session, WatchActivationState state,
                                       const std::optional<WatchSessionError>& error) = 0;
    /// deactivate() has begun: nothing more is sent.
    virtual void sessionDidBecomeInactive(WatchSession&) {}
    /// deactivate() has ended: the session may be activated again.
    virtual void sessionDidDeactivate(WatchSession&) {}
    /// isReachable() changed.
    virtual void sessionReachabilityDidChange(WatchSession&) {}
    /// The counterpart changed: isPaired() or counterpartSessionId() has a new value.
    virtual void sessionWatchStateDidChange(WatchSession&) {}

    /// An interactive message from the counterpart that expects no reply.
    virtual void didReceiveMessage(WatchSession&, const PlistDictionary&) {}
    /// `replyHandler` may be called later, from any thread, once; a handler destroyed without
    /// being called answers the sender with "reply failed".
    virtual void didReceiveMessage(WatchSession&, const PlistDictionary&,
                                   WatchReplyHandler replyHandler) {
        (void)replyHandler;
    }
    /// The counterpart's new application context (only the latest one is delivered).
    virtual void didReceiveApplicationContext(WatchSession&, const PlistDictionary&) {}
    /// A user-info transfer from the counterpart: once each, in the order it queued them.
    virtual void didReceiveUserInfo(WatchSession&, const PlistDictionary&) {}
    /// The counterpart has taken over `transfer` (no error), or it cannot be sent (an error).
    virtual void didFinishUserInfoTransfer(WatchSession&, const WatchUserInfoTransfer&,
                                           const std::optional<WatchSessionError>&) {}
};

/// The link to the companion device (see the top of this file). Thread-safe; the delegate and
/// every handler are called on the session's own serial queue, never inline.
class VK_EXPORT WatchSession {
  public:
    virtual ~WatchSession() = default;

    /// The process's session, shared; created on first use as a SocketWatchSession with the default
    /// configuration unless setDefaultSession() installed one. Never null. Thread-safe.
    static std::shared_ptr<WatchSession> defaultSession();
    /// Replaces the default session (nullptr: the next defaultSession() creates a new one).
    static void setDefaultSession(std::shared_ptr<WatchSession> session);

    /// The delegate is held weakly; set it before activate().
    virtual void setDelegate(std::weak_ptr<WatchSessionDelegate> delegate) = 0;
    /// The delegate, or nullptr when none is set or it is gone.
    virtual std::shared_ptr<WatchSessionDelegate> delegate() const = 0;

    /// Starts the session; the delegate's activationDidComplete follows.
    virtual void activate() = 0;
    /// Stops sending and drops the link; sessionDidBecomeInactive, then sessionDidDeactivate.
    /// Queued transfers and the application context stay on disk.
    virtual void deactivate() = 0;
    /// The current activation state.
    virtual WatchActivationState activationState() const = 0;
    /// Whether the counterpart is connected now, so that sendMessage() can reach it.
    virtual bool isReachable() const = 0;
    /// Whether a counterpart has ever completed the handshake with this session.
    virtual bool isPaired() const = 0;
    /// The id of the last counterpart that connected, or empty.
    virtual std::string counterpartSessionId() const = 0;

    /// An interactive message. With a reply handler the receiver is asked for a reply. Not
    /// reachable, not activated, or a dictionary that cannot be written: the error handler runs.
    virtual void sendMessage(const PlistDictionary& message, WatchReplyHandler replyHandler,
                             WatchErrorHandler errorHandler) = 0;

    /// Replaces the application context; kept on disk before this returns. The error, or absent.
    virtual std::optional<WatchSessionError> updateApplicationContext(
        const PlistDictionary& context) = 0;
    /// The context last set here (empty when none).
    virtual PlistDictionary applicationContext() const = 0;
    /// The context last received from the counterpart (empty when none).
    virtual PlistDictionary receivedApplicationContext() const = 0;

    /// Queues a user-info transfer on disk (before this returns) and sends it when it can. When
    /// it cannot be queued, the delegate's didFinishUserInfoTransfer gets the error.
    virtual std::shared_ptr<WatchUserInfoTransfer> transferUserInfo(
        const PlistDictionary& userInfo) = 0;
    /// Transfers not yet taken over by the counterpart, in order.
    virtual std::vector<WatchUserInfoTransfer> outstandingUserInfoTransfers() const = 0;
};

}  // namespace vk
