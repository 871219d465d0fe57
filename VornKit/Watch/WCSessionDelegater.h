// WCSessionDelegater: the watch session's delegate on the application side. It turns received
// dictionaries into WCMessage values, hands a message that expects a reply to the reply delegate
// the host installed, and announces everything else, and the session's state changes, on the
// default notification centre:
//
//   WCActivationDidComplete  object: none            after every activation, failed ones too
//   WCReachabilityDidChange  object: none            the counterpart came or went
//   WCMessageRecieved        object: the WCMessage   a message, context or user-info transfer;
//                                                    also a reply-expecting message when the
//                                                    reply delegate is gone (it then gets no
//                                                    reply, ever)
//
// A dictionary that is not a message (WCMessage::fromMessage gives nothing) is dropped after its
// warning; if it expected a reply, none is sent. Each session event also prints a status line on
// standard output. After the session deactivates, the delegater activates it again.
//
// Thread rule: thread-safe. The session calls it on its background queue; notifications are
// posted asynchronously on the main queue; the reply delegate is called on the session's queue.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Platform/Watch/WatchSession.h"
#include "VornKit/Watch/WCMessages.h"

namespace vk {

/// Answers watch messages that expect a reply. Implemented by the host.
class VK_EXPORT WCMessageReplyDelegate {
  public:
    virtual ~WCMessageReplyDelegate() = default;
    /// Called on the session's queue. Call `replyHandler` once, now or later, from any thread:
    /// with a message (sent as its dictionary) or with nothing (sent as an empty dictionary).
    virtual void didReceiveMessage(const WCMessage& message,
                                   std::function<void(std::optional<WCMessage>)> replyHandler) = 0;
};

/// The names of the notifications the delegater posts.
namespace WCNotificationName {
/// The notification names, spelt as posted; the table at the top of this file says when each
/// comes and what it carries.
/// @{
inline constexpr std::string_view WCActivationDidComplete = "WCActivationDidComplete";
inline constexpr std::string_view WCReachabilityDidChange = "WCReachabilityDidChange";
inline constexpr std::string_view WCMessageRecieved = "WCMessageRecieved";
/// @}
}  // namespace WCNotificationName

/// The application side's watch-session delegate: turns what arrives into WCMessage values for the
/// reply delegate or the notification centre (see the top of this file). Thread-safe.
class VK_EXPORT WCSessionDelegater final : public WatchSessionDelegate {
  public:
    /// A delegater that hands reply-expecting messages to `replyDelegate` (held weakly).
    explicit WCSessionDelegater(std::weak_ptr<WCMessageReplyDelegate> replyDelegate);
    WCSessionDelegater() = delete;

    /// The reply delegate, or nullptr when none is set or it is gone.
    std::shared_ptr<WCMessageReplyDelegate> replyDelegate() const;
    /// Replaces the reply delegate (held weakly) for the messages that arrive from now on.
    void setReplyDelegate(std::weak_ptr<WCMessageReplyDelegate> replyDelegate);

    void activationDidComplete(WatchSession& session, WatchActivationState state,
                               const std::optional<WatchSessionError>& error) override;
    void sessionDidBecomeInactive(WatchSession& session) override;
    void sessionDidDeactivate(WatchSession& session) override;
    void sessionReachabilityDidChange(WatchSession& session) override;
    void sessionWatchStateDidChange(WatchSession& session) override;
    void didReceiveMessage(WatchSession& session, const PlistDictionary& message) override;
    void didReceiveMessage(WatchSession& session, const PlistDictionary& message,
                           WatchReplyHandler replyHandler) override;
    void didReceiveApplicationContext(WatchSession& session,
                                      const PlistDictionary& context) override;
    void didReceiveUserInfo(WatchSession& session, const PlistDictionary& userInfo) override;

  private:
    /// Parses `dictionary` and announces the message when it is one.
    static void announce(const PlistDictionary& dictionary);

    mutable std::mutex mutex_;
    std::weak_ptr<WCMessageReplyDelegate> replyDelegate_;
};

}  // namespace vk
