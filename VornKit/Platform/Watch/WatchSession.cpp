#include "VornKit/Platform/Watch/WatchSession.h"

#include <mutex>
#include <utility>

#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Watch/SocketWatchSession.h"

namespace vk {

namespace {

const char* defaultMessage(WatchSessionErrorCode code) {
    switch (code) {
        case WatchSessionErrorCode::genericError:
            return "The watch session failed.";
        case WatchSessionErrorCode::sessionNotActivated:
            return "The watch session has not been activated.";
        case WatchSessionErrorCode::notReachable:
            return "The counterpart is not reachable.";
        case WatchSessionErrorCode::payloadTooLarge:
            return "The payload is too large.";
        case WatchSessionErrorCode::payloadUnsupportedTypes:
            return "The payload holds values a property list cannot carry.";
        case WatchSessionErrorCode::messageReplyFailed:
            return "The counterpart did not reply to the message.";
        case WatchSessionErrorCode::messageReplyTimedOut:
            return "The reply to the message did not come in time.";
        case WatchSessionErrorCode::deliveryFailed:
            return "The link to the counterpart broke before delivery was confirmed.";
        case WatchSessionErrorCode::fileAccessDenied:
            return "The watch session cannot use its files.";
        case WatchSessionErrorCode::sessionInvalidated:
            return "The watch session was closed.";
        case WatchSessionErrorCode::notPaired:
            return "The watch link is not paired.";
    }
    return "The watch session failed.";
}

std::mutex& defaultMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<WatchSession>& defaultSlot() {
    // Never destroyed: the session may still be in use while other statics go away.
    static Immortal<std::shared_ptr<WatchSession>> slot;
    return *slot;
}

}  // namespace

std::string WatchSessionError::description() const {
    return message + " (WatchSessionErrorDomain error " + std::to_string(static_cast<int>(code)) +
           ")";
}

WatchSessionError WatchSessionError::make(WatchSessionErrorCode code, std::string detail) {
    std::string text = defaultMessage(code);
    if (!detail.empty()) {
        text.pop_back();  // the full stop
        text += ": " + detail + ".";
    }
    return WatchSessionError{code, std::move(text)};
}

std::shared_ptr<WatchSession> WatchSession::defaultSession() {
    std::lock_guard lock(defaultMutex());
    auto& slot = defaultSlot();
    if (!slot)
        slot = SocketWatchSession::make(WatchSessionConfiguration{});
    return slot;
}

void WatchSession::setDefaultSession(std::shared_ptr<WatchSession> session) {
    std::shared_ptr<WatchSession> previous;
    {
        std::lock_guard lock(defaultMutex());
        previous = std::exchange(defaultSlot(), std::move(session));
    }
}

}  // namespace vk
