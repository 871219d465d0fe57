// Process-wide notifications: a name, an optional sender and payload, and observers that receive
// them either on the posting thread or on a queue of their choosing.
//
// Delivery: post() calls every matching observer that is registered when post() starts. An
// observer without a queue runs inline on the posting thread before post() returns; one with a
// queue gets an async() onto that queue. An observer removed before its delivery starts (also from
// inside another delivery of the same post) is not called.
//
// Removal: once removeObserver() returns, the observer's block is not running and never starts
// again, so an object may remove its observer in its destructor while the block captures `this`.
// Called from another thread while a delivery of that observer runs, it waits for that delivery
// to end; called from inside the observer's own delivery, it does not wait. Do not remove an
// observer while holding something its block waits for.
//
// Thread rule: thread-safe. Observer blocks are owned by the centre until removeObserver() (and
// deliveries already queued) let go of them.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// One posted notification (a value; observers get it by reference for the call only).
struct VK_EXPORT Notification {
    /// The notification's name; observers subscribe by it.
    std::string name;
    /// Identity of the poster, matched against observers' sender filters (may be null).
    const void* sender = nullptr;
    /// Payload; its type is part of each notification's contract.
    std::any object;
    /// Further values by key; their types are part of each notification's contract.
    std::map<std::string, std::any> userInfo;
};

using NotificationBlock = std::function<void(const Notification&)>;
using ObserverToken = std::uint64_t;

/// Delivers posted notifications to observers (see the file comment); thread-safe.
class VK_EXPORT NotificationCenter {
  public:
    /// The process-wide centre. Created once.
    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// Observes `name` (every name when empty) from `senderFilter` (every sender when null).
    /// `queue` null: delivered inline on the posting thread.
    ObserverToken addObserver(std::string name, const void* senderFilter,
                              std::shared_ptr<DispatchQueue> queue, NotificationBlock block);
    /// Safe from any thread, also from inside a delivery; unknown tokens are ignored.
    void removeObserver(ObserverToken token);

    /// Delivers `notification` to every matching observer (see the file comment); never fails.
    void post(const Notification& notification);
    /// Posts a notification of `name` from `sender` carrying `object`, without user info.
    void post(std::string name, const void* sender = nullptr, std::any object = {});

  private:
    struct Observer;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
    ObserverToken nextToken_ = 1;
};

/// Notification names the platform posts.
namespace Notifications {
/// Posted by the platform when the kernel reports memory pressure, or by the host itself.
inline constexpr std::string_view kLowMemoryWarning =
    "UIApplicationDidReceiveMemoryWarningNotification";
/// Posted by the host when the application becomes active.
inline constexpr std::string_view kApplicationDidBecomeActive =
    "UIApplicationDidBecomeActiveNotification";
}  // namespace Notifications

}  // namespace vk
