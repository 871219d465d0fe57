#include "VornKit/Watch/WCSessionDelegater.h"

#include <any>
#include <atomic>
#include <string>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace vk {

namespace {

void postOnMain(std::string_view name, std::any object = {}) {
    DispatchQueue::main()->async([name = std::string(name), object = std::move(object)] {
        NotificationCenter::defaultCenter().post(name, nullptr, object);
    });
}

std::string stateText(WatchActivationState state) {
    return std::to_string(static_cast<int>(state));
}

}  // namespace

WCSessionDelegater::WCSessionDelegater(std::weak_ptr<WCMessageReplyDelegate> replyDelegate)
    : replyDelegate_(std::move(replyDelegate)) {}

std::shared_ptr<WCMessageReplyDelegate> WCSessionDelegater::replyDelegate() const {
    std::lock_guard lock(mutex_);
    return replyDelegate_.lock();
}

void WCSessionDelegater::setReplyDelegate(std::weak_ptr<WCMessageReplyDelegate> replyDelegate) {
    std::lock_guard lock(mutex_);
    replyDelegate_ = std::move(replyDelegate);
}

void WCSessionDelegater::activationDidComplete(WatchSession&, WatchActivationState state,
                                               const std::optional<WatchSessionError>&) {
    standardOutputLine("session(_:activationDidCompleteWith:error:): activationState = " +
                       stateText(state));
    postOnMain(WCNotificationName::WCActivationDidComplete);
}

void WCSessionDelegater::sessionReachabilityDidChange(WatchSession& session) {
    standardOutputLine(std::string("sessionReachabilityDidChange(_:): reachability = ") +
                       (session.isReachable() ? "true" : "false"));
    postOnMain(WCNotificationName::WCReachabilityDidChange);
}

void WCSessionDelegater::sessionDidBecomeInactive(WatchSession& session) {
    standardOutputLine("sessionDidBecomeInactive(_:): activationState = " +
                       stateText(session.activationState()));
}

void WCSessionDelegater::sessionDidDeactivate(WatchSession& session) {
    session.activate();
}

void WCSessionDelegater::sessionWatchStateDidChange(WatchSession& session) {
    standardOutputLine("sessionWatchStateDidChange(_:): activationState = " +
                       stateText(session.activationState()));
}

void WCSessionDelegater::announce(const PlistDictionary& dictionary) {
    if (auto message = WCMessage::fromMessage(dictionary))
        postOnMain(WCNotificationName::WCMessageRecieved, std::move(*message));
}

void WCSessionDelegater::didReceiveMessage(WatchSession&, const PlistDictionary& message) {
    announce(message);
}

void WCSessionDelegater::didReceiveMessage(WatchSession&, const PlistDictionary& message,
                                           WatchReplyHandler replyHandler) {
    auto parsed = WCMessage::fromMessage(message);
    if (!parsed)
        return;  // no reply, ever: the sender's session reports it
    auto delegate = replyDelegate();
    if (!delegate) {
        postOnMain(WCNotificationName::WCMessageRecieved, std::move(*parsed));
        // The platform's reply block is dropped unanswered.
        return;
    }
    // Once only, whatever the delegate does: a second call is ignored.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    delegate->didReceiveMessage(*parsed, [replyHandler = std::move(replyHandler),
                                          answered](std::optional<WCMessage> reply) {
        if (answered->exchange(true))
            return;
        replyHandler(reply ? reply->dictionary() : PlistDictionary{});
    });
}

void WCSessionDelegater::didReceiveApplicationContext(WatchSession&,
                                                      const PlistDictionary& context) {
    announce(context);
}

void WCSessionDelegater::didReceiveUserInfo(WatchSession&, const PlistDictionary& userInfo) {
    announce(userInfo);
}

}  // namespace vk
