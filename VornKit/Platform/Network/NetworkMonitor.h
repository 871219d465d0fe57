// NetworkMonitor: where the machine's network stands: whether the internet can be reached, over
// what kind of link, and whether a connection or a user must act first; observers hear about every
// change of the network's configuration.
//
// Backends: NetworkManagerMonitor (NetworkManager over the system bus, when it runs) and
// RtnetlinkMonitor (the kernel's links, addresses and default routes); NetworkMonitor::shared()
// picks the first that works. ManualNetworkMonitor is the test double.
//
// Thread rule: thread-safe. Observers run on the monitor's own thread (the bus thread or the
// netlink thread); they must be quick and must not remove themselves from inside the call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// Where the network stands at one moment (a value).
struct VK_EXPORT NetworkPath {
    bool reachable = false;             ///< the internet (a default route) can be reached
    bool cellular = false;              ///< the primary link is a cellular (WWAN) one
    bool connectionRequired = false;    ///< a connection must be brought up first
    bool interventionRequired = false;  ///< a user must act first (a captive portal, ...)
    bool transient = false;             ///< the connection is being set up or torn down
    /// Names of the links that are cellular ones, beside those named wwan*.
    std::vector<std::string> cellularInterfaces;
    /// What the backend saw, for status lines ("connectivity full, primary 802-11-wireless").
    std::string detail;

    /// Field-by-field equality.
    friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

/// Watches the machine's network (see the file comment); shared, thread-safe.
class VK_EXPORT NetworkMonitor {
  public:
    virtual ~NetworkMonitor() = default;

    /// The last state the backend saw.
    NetworkPath currentPath() const;
    /// "NetworkManager", "rtnetlink", "manual".
    virtual std::string backendName() const = 0;

    /// Calls `observer` after each change the backend sees (also changes that leave the path as
    /// it was: routes to other networks may have changed).
    std::uint64_t addObserver(std::function<void()> observer);
    /// After it returns, the observer is not running and will not run again (unless called from
    /// inside the observer itself).
    void removeObserver(std::uint64_t token);

    /// Whether the link named `interfaceName` is a cellular one.
    bool isCellularInterface(const std::string& interfaceName) const;

    /// The installed monitor, else NetworkManager's when it runs on the system bus, else the
    /// kernel's. Created on first use; null only when neither backend can start.
    static std::shared_ptr<NetworkMonitor> shared();
    /// Makes `monitor` the one shared() returns (null: choose again on next use).
    static void install(std::shared_ptr<NetworkMonitor> monitor);

  protected:
    /// Stores `path` and calls the observers.
    void publish(NetworkPath path);

  private:
    mutable std::mutex mutex_;
    NetworkPath path_;
    std::mutex observersMutex_;  // held while observers run
    std::map<std::uint64_t, std::function<void()>> observers_;
    std::uint64_t nextToken_ = 1;
};

/// The test double: the test sets the path; each set() notifies the observers on the calling
/// thread.
class VK_EXPORT ManualNetworkMonitor : public NetworkMonitor {
  public:
    /// A monitor whose current path is `path`.
    explicit ManualNetworkMonitor(NetworkPath path = {}) { publish(std::move(path)); }
    /// Makes `path` current and calls the observers on this thread.
    void set(NetworkPath path) { publish(std::move(path)); }
    std::string backendName() const override { return "manual"; }
};

}  // namespace vk
