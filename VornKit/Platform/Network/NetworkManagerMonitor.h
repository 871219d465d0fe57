// NetworkManagerMonitor: the network as NetworkManager sees it, over the system bus. It reads the
// manager's Connectivity, State and primary connection (PrimaryConnectionType, else the Type of
// the PrimaryConnection object) and reads them again whenever the manager's properties change or
// the manager leaves or joins the bus.
//
// Mapping: connectivity full or limited is reachable (limited still reaches the local network);
// a captive portal is reachable but needs a connection and a user; unknown connectivity counts
// as reachable when the state is "connected (site)" or "connected (global)"; a "connecting" state
// marks the path as transient and needing a connection. A primary connection of type "gsm" or
// "cdma" is cellular, and the IP interfaces of its devices are the cellular links. Without
// NetworkManager on the bus the path is unreachable.
//
// Thread rule: thread-safe; observers run on the bus connection's thread.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"

namespace vk {

/// The network monitor backed by NetworkManager over the system bus (see the top of this file).
/// Thread-safe; observers run on the bus connection's thread.
class VK_EXPORT NetworkManagerMonitor : public NetworkMonitor {
  public:
    /// NetworkManager's bus name and object path.
    /// @{
    static constexpr const char* kBusName = "org.freedesktop.NetworkManager";
    static constexpr const char* kPath = "/org/freedesktop/NetworkManager";
    /// @}

    /// A monitor on `bus`, or null when NetworkManager does not run there.
    static std::shared_ptr<NetworkManagerMonitor> start(std::shared_ptr<DBusConnection> bus);
    ~NetworkManagerMonitor() override;

    std::string backendName() const override { return "NetworkManager"; }

    /// The path for NetworkManager's values (exposed for tests of the mapping).
    static NetworkPath pathFor(std::uint32_t connectivity, std::uint32_t state,
                               const std::string& primaryType);

  private:
    explicit NetworkManagerMonitor(std::shared_ptr<DBusConnection> bus) : bus_(std::move(bus)) {}
    /// Reads the manager's properties (on the bus thread) and publishes the path.
    void refresh();

    std::shared_ptr<DBusConnection> bus_;
    DBusConnection::Subscription propertiesChanged_;
    DBusConnection::Subscription ownerChanged_;
};

}  // namespace vk
