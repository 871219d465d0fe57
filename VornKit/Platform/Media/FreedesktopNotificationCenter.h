// FreedesktopNotificationCenter: the UserNotificationCenter on the desktop's notification server
// (org.freedesktop.Notifications on the session bus).
//
// Authorisation follows the server: with a server on the bus the application is authorised, and a
// request for permission is granted; without one it is denied. A notification's title is the
// summary; its subtitle (and body, if any) the body, escaped when the server reads markup; its
// first attachment the image ("image-path" hint). Each identifier keeps the id the server gave it,
// and the next request with that identifier replaces that notification (replaces_id).
//
// Thread rule: thread-safe. Bus calls and completions run on the centre's serial queue.
#pragma once

#include "VornKit/Export.h"

#include <memory>
#include <optional>
#include <string>

#include "VornKit/Platform/Media/UserNotificationCenter.h"

namespace vk {

/// The UserNotificationCenter on the session bus's notification server; shared through make().
class VK_EXPORT FreedesktopNotificationCenter : public UserNotificationCenter {
  public:
    /// `appName` is the sender shown by the server; `desktopEntry` (without ".desktop") lets it
    /// find the application's icon. The bus is reached on first use.
    static std::shared_ptr<FreedesktopNotificationCenter> make(
        std::string appName, std::optional<std::string> desktopEntry = std::nullopt);
    ~FreedesktopNotificationCenter() override;

    /// Authorized when a notification server answers on the bus, else Denied.
    void notificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) override;
    /// Granted when a notification server answers on the bus; never asks the user.
    void requestAuthorization(std::function<void(bool, NotificationError)> completion) override;
    /// Sends the notification to the server after its delay; the completion gets the bus error.
    void add(NotificationRequest request,
             std::function<void(NotificationError)> completion) override;

    struct State;

  private:
    explicit FreedesktopNotificationCenter(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace vk
