// PrivateKeyring: gnome-keyring's Secret Service on a session bus of a test's own, with a
// throw-away home, in one of the states a host meets:
//   - Unlocked: a login keyring opened with its password (a desktop session);
//   - Locked: the same keyring, locked again (an SSH session, a screen lock);
//   - NoDefaultCollection: a daemon on a fresh account, no login keyring (a kiosk, a new user);
//   - OnDemand: no daemon yet; the bus starts one (fresh account) when the service is first asked.
// No display is reachable from the bus or the daemon: a prompt cannot open. Everything started is
// stopped when the object goes.
//
// Thread rule: used from the test's thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Support/PrivateBus.h"

namespace vk::test {

class PrivateKeyring {
  public:
    enum class State { Unlocked, Locked, NoDefaultCollection, OnDemand };

    /// A keyring in `state`, or null with `error` set.
    static std::unique_ptr<PrivateKeyring> start(State state, std::string& error);
    ~PrivateKeyring();
    PrivateKeyring(const PrivateKeyring&) = delete;
    PrivateKeyring& operator=(const PrivateKeyring&) = delete;

    /// The bus to hand to a program as DBUS_SESSION_BUS_ADDRESS.
    const std::string& busAddress() const { return bus_->address(); }

    /// Opens the login keyring with its password (a new daemon on the same home and bus, as a
    /// desktop login does). False when it does not come up.
    bool unlock();
    /// Locks the login keyring (no prompt is involved).
    bool lock();

    /// Whether gnome-keyring-daemon and dbus-daemon are installed.
    static bool available();

  private:
    PrivateKeyring() = default;
    /// Runs the daemon on the bus; with `password`, the login keyring is opened (made if needed).
    bool startDaemon(const std::string* password);
    /// Stops the daemon, whether this object or the bus started it.
    void stopDaemon();

    std::filesystem::path home_;
    std::unique_ptr<PrivateBus> bus_;
    pid_t daemon_ = -1;
};

}  // namespace vk::test
