// WatchSessionDouble: a WatchSession for tests. Nothing leaves the process: what is sent is
// recorded, the test answers or fails it, and the test plays the counterpart and the platform by
// raising delegate events. Like the real session it calls the delegate and every handler on its
// own serial queue, never inline; drain() waits until that queue is idle.
//
// Defaults: not activated and not reachable until the test says otherwise; a message sent while
// not activated or not reachable fails with that error, as the real session's does.
//
// Thread rule: thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Watch/WatchSession.h"

namespace vk {

/// A WatchSession for tests that plays the counterpart and the platform (see the top of this
/// file). Thread-safe; events and handlers run on its own serial queue.
class VK_EXPORT WatchSessionDouble final : public WatchSession,
                                           public std::enable_shared_from_this<WatchSessionDouble> {
  public:
    /// A new session: not activated, not reachable, no delegate.
    static std::shared_ptr<WatchSessionDouble> make();

    /// A message sendMessage() recorded, with the handlers the test calls in the counterpart's
    /// place.
    struct SentMessage {
        /// The message as sent.
        PlistDictionary message;
        WatchReplyHandler replyHandler;  ///< empty for a message without reply
        /// The sender's error handler (may be empty).
        WatchErrorHandler errorHandler;
    };

    // The test's controls ------------------------------------------------------------------
    /// Sets the state and reachability the session reports, without any delegate event (the
    /// simulate... calls raise those).
    /// @{
    void setActivationState(WatchActivationState state);
    void setReachable(bool reachable);
    /// @}
    /// The next updateApplicationContext() returns this error instead of storing the context.
    void failNextApplicationContextUpdate(WatchSessionError error);

    /// Messages sent, in order, with their handlers (the test calls them, once).
    std::vector<SentMessage> sentMessages() const;
    /// The contexts passed to updateApplicationContext() and the dictionaries passed to
    /// transferUserInfo(), in order.
    /// @{
    std::vector<PlistDictionary> applicationContextUpdates() const;
    std::vector<PlistDictionary> userInfoTransfers() const;
    /// @}
    /// How many times activate() was called.
    int activationCount() const;

    /// Raise the delegate event each names on the session's queue (never inline), after setting
    /// the state it implies: the activation state, reachability.
    /// @{
    void simulateActivation(WatchActivationState state,
                            std::optional<WatchSessionError> error = std::nullopt);
    void simulateReachabilityChange(bool reachable);
    void simulateInactive();
    void simulateDeactivation();
    void simulateWatchStateChange();
    void simulateMessage(const PlistDictionary& message);
    /// A message that expects a reply; `reply` gets what the delegate answers (once), or never
    /// runs when the delegate does not answer.
    void simulateMessageWithReply(const PlistDictionary& message, WatchReplyHandler reply);
    void simulateApplicationContext(const PlistDictionary& context);
    void simulateUserInfo(const PlistDictionary& userInfo);
    /// @}
    /// Runs a block on the session's queue (as the platform would call a handler).
    void runOnSessionQueue(Block block);
    /// Waits until every block queued on the session's queue so far has run.
    void drain();

    // WatchSession ---------------------------------------------------------------------------
    void setDelegate(std::weak_ptr<WatchSessionDelegate> delegate) override;
    /// The delegate set, or nullptr.
    std::shared_ptr<WatchSessionDelegate> delegate() const override;
    /// Counts the call; the test raises activationDidComplete with simulateActivation().
    void activate() override;
    void deactivate() override;
    /// As set by setActivationState() (and simulateActivation() and friends).
    WatchActivationState activationState() const override;
    /// As set by setReachable() or simulateReachabilityChange().
    bool isReachable() const override;
    bool isPaired() const override;
    std::string counterpartSessionId() const override;
    void sendMessage(const PlistDictionary& message, WatchReplyHandler replyHandler,
                     WatchErrorHandler errorHandler) override;
    std::optional<WatchSessionError> updateApplicationContext(
        const PlistDictionary& context) override;
    PlistDictionary applicationContext() const override;
    PlistDictionary receivedApplicationContext() const override;
    std::shared_ptr<WatchUserInfoTransfer> transferUserInfo(
        const PlistDictionary& userInfo) override;
    std::vector<WatchUserInfoTransfer> outstandingUserInfoTransfers() const override;

  private:
    WatchSessionDouble();
    void call(std::function<void(WatchSession&, WatchSessionDelegate&)> event);

    std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    std::weak_ptr<WatchSessionDelegate> delegate_;
    WatchActivationState state_ = WatchActivationState::notActivated;
    bool reachable_ = false;
    int activations_ = 0;
    std::optional<WatchSessionError> contextFailure_;
    std::vector<SentMessage> messages_;
    std::vector<PlistDictionary> contexts_;
    std::vector<PlistDictionary> userInfos_;
    PlistDictionary receivedContext_;
};

}  // namespace vk
