// UserNotificationCenter: local notifications for the user ("now playing" when an item starts).
//
//   - notificationSettings(): whether the application may show notifications.
//   - requestAuthorization(): asks for permission (alerts, delivered quietly at first).
//   - add(): shows a notification after a short delay. A request with the identifier of an
//     earlier one replaces it instead of stacking a second notification.
//
// Backends: FreedesktopNotificationCenter (org.freedesktop.Notifications on the session bus);
// make() gives the test double, which records the requests it shows and whose authorisation
// status, request answer and failures the test sets.
//
// Thread rule: thread-safe. Completions run on the centre's own serial queue, exactly once.
#pragma once

#include "VornKit/Export.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

enum class NotificationAuthorizationStatus { NotDetermined, Denied, Authorized, Provisional };

/// A file shown with a notification (the first attachment is its image).
struct VK_EXPORT NotificationAttachment {
    /// Names the attachment within its notification.
    std::string identifier;
    std::filesystem::path file;  ///< an image file
};

/// A notification to show. A request with the identifier of an earlier one replaces it.
struct VK_EXPORT NotificationRequest {
    /// The notification's identifier (a later request with the same one replaces it), its texts and
    /// its attachments.
    /// @{
    std::string identifier;
    std::string title;
    std::string subtitle;
    std::string body;
    std::vector<NotificationAttachment> attachments;
    /// @}
    /// Shown after this delay.
    std::chrono::milliseconds delay{0};
};

/// An error of the notification service: empty means none.
using NotificationError = std::optional<std::string>;

/// Local notifications for the user; shared, its completions run on the centre's serial queue.
class VK_EXPORT UserNotificationCenter
    : public std::enable_shared_from_this<UserNotificationCenter> {
  public:
    /// The test double (see the class comment).
    static std::shared_ptr<UserNotificationCenter> make();
    virtual ~UserNotificationCenter() = default;

    /// The completion receives whether the application may show notifications now.
    virtual void notificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) = 0;
    /// The completion receives whether permission was granted, or an error.
    virtual void requestAuthorization(
        std::function<void(bool granted, NotificationError error)> completion) = 0;
    /// Shows `request` after its delay; the completion receives the service's error, if any, once
    /// the notification was shown or refused.
    virtual void add(NotificationRequest request,
                     std::function<void(NotificationError error)> completion) = 0;

    // Test double only (no effect on other backends).
    /// A notification the test double showed.
    struct Shown {
        /// The request shown.
        NotificationRequest request;
        /// The id of the notification it replaced; absent for the first of its identifier.
        std::optional<std::uint32_t> replaced;
        /// The id the double gave the notification.
        std::uint32_t id = 0;
    };
    /// The notifications shown so far, oldest first.
    virtual std::vector<Shown> shown() const { return {}; }
    /// The status notificationSettings() reports from now on.
    virtual void setAuthorizationStatus(NotificationAuthorizationStatus) {}
    /// The answer to the next requests; an error makes them fail.
    virtual void setAuthorizationAnswer(bool /*granted*/, NotificationError /*error*/) {}
    /// Makes add() fail with `error` (empty: succeed again).
    virtual void setAddError(NotificationError /*error*/) {}
    /// How many times requestAuthorization() was called.
    virtual std::size_t authorizationRequests() const { return 0; }

  protected:
    UserNotificationCenter() = default;
};

}  // namespace vk
