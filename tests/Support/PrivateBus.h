// PrivateBus: a D-Bus daemon of a test's own, with python3-dbusmock services on it, so that a
// test can change a mocked service's state without disturbing tests that run at the same time.
// Everything started is stopped when the object goes.
//
// Thread rule: used from the test's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Platform/Bus/DBusConnection.h"

namespace vk::test {

class PrivateBus {
  public:
    /// A running bus, or null with `error` set (dbus-daemon missing, ...). `environment`
    /// ("NAME=value" entries) is added to the daemon's, which the services it starts on demand
    /// inherit (a throw-away HOME, ...); the display variables are always left out.
    static std::unique_ptr<PrivateBus> start(std::string& error,
                                             const std::vector<std::string>& environment = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    /// A connection of the test's own to this bus (made on first use).
    std::shared_ptr<DBusConnection> connection();

    /// Runs dbusmock's `templateName` (networkmanager, ofono, ...) on this bus, as if it were the
    /// system bus, and waits until `busName` appears. `parameters` is the template's JSON.
    bool startTemplate(const std::string& templateName, const std::string& busName,
                       const std::string& parameters = "{}");
    /// Runs a plain dbusmock object (`objectManager`: with org.freedesktop.DBus.ObjectManager).
    bool startMock(const std::string& busName, const std::string& path,
                   const std::string& interface, bool objectManager = false);
    /// Stops every service started on this bus; the bus keeps running.
    void stopChildren();
    /// Waits until `busName` has an owner.
    bool waitForName(const std::string& busName,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

    /// Whether Debian's python3 with dbusmock is there.
    static bool dbusmockAvailable();

  private:
    PrivateBus() = default;
    bool spawn(const std::vector<std::string>& arguments);

    std::string address_;
    pid_t daemon_ = -1;
    std::vector<pid_t> children_;
    std::shared_ptr<DBusConnection> connection_;
};

}  // namespace vk::test
