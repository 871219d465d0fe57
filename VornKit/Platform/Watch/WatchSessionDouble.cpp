#include "VornKit/Platform/Watch/WatchSessionDouble.h"

#include <utility>

namespace vk {

WatchSessionDouble::WatchSessionDouble()
    : queue_(DispatchQueue::makeSerial("vk.watch-session-double")) {}

std::shared_ptr<WatchSessionDouble> WatchSessionDouble::make() {
    return std::shared_ptr<WatchSessionDouble>(new WatchSessionDouble());
}

void WatchSessionDouble::call(std::function<void(WatchSession&, WatchSessionDelegate&)> event) {
    queue_->async([weak = weak_from_this(), event = std::move(event)] {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto delegate = self->delegate())
            event(*self, *delegate);
    });
}

void WatchSessionDouble::setActivationState(WatchActivationState state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}

void WatchSessionDouble::setReachable(bool reachable) {
    std::lock_guard lock(mutex_);
    reachable_ = reachable;
}

void WatchSessionDouble::failNextApplicationContextUpdate(WatchSessionError error) {
    std::lock_guard lock(mutex_);
    contextFailure_ = std::move(error);
}

std::vector<WatchSessionDouble::SentMessage> WatchSessionDouble::sentMessages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<PlistDictionary> WatchSessionDouble::applicationContextUpdates() const {
    std::lock_guard lock(mutex_);
    return contexts_;
}

std::vector<PlistDictionary> WatchSessionDouble::userInfoTransfers() const {
    std::lock_guard lock(mutex_);
    return userInfos_;
}

int WatchSessionDouble::activationCount() const {
    std::lock_guard lock(mutex_);
    return activations_;
}

void WatchSessionDouble::simulateActivation(WatchActivationState state,
                                            std::optional<WatchSessionError> error) {
    setActivationState(state);
    call([state, error](WatchSession& s, WatchSessionDelegate& d) {
        d.activationDidComplete(s, state, error);
    });
}

void WatchSessionDouble::simulateReachabilityChange(bool reachable) {
    setReachable(reachable);
    call([](WatchSession& s, WatchSessionDelegate& d) { d.sessionReachabilityDidChange(s); });
}

void WatchSessionDouble::simulateInactive() {
    setActivationState(WatchActivationState::inactive);
    call([](WatchSession& s, WatchSessionDelegate& d) { d.sessionDidBecomeInactive(s); });
}

void WatchSessionDouble::simulateDeactivation() {
    setActivationState(WatchActivationState::notActivated);
    call([](WatchSession& s, WatchSessionDelegate& d) { d.sessionDidDeactivate(s); });
}

void WatchSessionDouble::simulateWatchStateChange() {
    call([](WatchSession& s, WatchSessionDelegate& d) { d.sessionWatchStateDidChange(s); });
}

void WatchSessionDouble::simulateMessage(const PlistDictionary& message) {
    call([message](WatchSession& s, WatchSessionDelegate& d) { d.didReceiveMessage(s, message); });
}

void WatchSessionDouble::simulateMessageWithReply(const PlistDictionary& message,
                                                  WatchReplyHandler reply) {
    call([message, reply](WatchSession& s, WatchSessionDelegate& d) {
        d.didReceiveMessage(s, message, reply);
    });
}

void WatchSessionDouble::simulateApplicationContext(const PlistDictionary& context) {
    {
        std::lock_guard lock(mutex_);
        receivedContext_ = context;
    }
    call([context](WatchSession& s, WatchSessionDelegate& d) {
        d.didReceiveApplicationContext(s, context);
    });
}

void WatchSessionDouble::simulateUserInfo(const PlistDictionary& userInfo) {
    call([userInfo](WatchSession& s, WatchSessionDelegate& d) {
        d.didReceiveUserInfo(s, userInfo);
    });
}

void WatchSessionDouble::runOnSessionQueue(Block block) {
    queue_->async(std::move(block));
}

void WatchSessionDouble::drain() {
    queue_->sync([] {});
}

void WatchSessionDouble::setDelegate(std::weak_ptr<WatchSessionDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<WatchSessionDelegate> WatchSessionDouble::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void WatchSessionDouble::activate() {
    std::lock_guard lock(mutex_);
    ++activations_;
}

void WatchSessionDouble::deactivate() {
    simulateInactive();
    simulateDeactivation();
}

WatchActivationState WatchSessionDouble::activationState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool WatchSessionDouble::isReachable() const {
    std::lock_guard lock(mutex_);
    return reachable_;
}

bool WatchSessionDouble::isPaired() const {
    return true;
}

std::string WatchSessionDouble::counterpartSessionId() const {
    return "0123456789abcdef0123456789abcdef";
}

void WatchSessionDouble::sendMessage(const PlistDictionary& message, WatchReplyHandler replyHandler,
                                     WatchErrorHandler errorHandler) {
    std::optional<WatchSessionError> error;
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(SentMessage{message, replyHandler, errorHandler});
        if (state_ != WatchActivationState::activated)
            error = WatchSessionError::make(WatchSessionErrorCode::sessionNotActivated);
        else if (!reachable_)
            error = WatchSessionError::make(WatchSessionErrorCode::notReachable);
    }
    if (error && errorHandler)
        queue_->async([errorHandler, error = *error] { errorHandler(error); });
}

std::optional<WatchSessionError> WatchSessionDouble::updateApplicationContext(
    const PlistDictionary& context) {
    std::lock_guard lock(mutex_);
    if (contextFailure_)
        return std::exchange(contextFailure_, std::nullopt);
    if (state_ != WatchActivationState::activated)
        return WatchSessionError::make(WatchSessionErrorCode::sessionNotActivated);
    contexts_.push_back(context);
    return std::nullopt;
}

PlistDictionary WatchSessionDouble::applicationContext() const {
    std::lock_guard lock(mutex_);
    return contexts_.empty() ? PlistDictionary{} : contexts_.back();
}

PlistDictionary WatchSessionDouble::receivedApplicationContext() const {
    std::lock_guard lock(mutex_);
    return receivedContext_;
}

std::shared_ptr<WatchUserInfoTransfer> WatchSessionDouble::transferUserInfo(
    const PlistDictionary& userInfo) {
    std::lock_guard lock(mutex_);
    userInfos_.push_back(userInfo);
    return std::make_shared<WatchUserInfoTransfer>(
        WatchUserInfoTransfer{static_cast<std::uint64_t>(userInfos_.size()), userInfo});
}

std::vector<WatchUserInfoTransfer> WatchSessionDouble::outstandingUserInfoTransfers() const {
    std::lock_guard lock(mutex_);
    std::vector<WatchUserInfoTransfer> out;
    for (std::size_t i = 0; i < userInfos_.size(); ++i)
        out.push_back(WatchUserInfoTransfer{i + 1, userInfos_[i]});
    return out;
}

}  // namespace vk
