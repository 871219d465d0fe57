// Reachability: whether the network (or one host or address) can be reached, over what kind of
// link, an estimate of the link's top download speed, and the notification
// "kNetworkReachabilityChangedNotification" on every change. The host creates a monitor (for
// example reachabilityForInternetConnection()) and calls startNotifier(); the connection manager
// listens to the notification.
//
// Where the flags come from: a NetworkReachabilityTarget (Platform) on the network monitor
// (NetworkManager, else the kernel); the radio access technology of a cellular link from
// RadioInfo (ModemManager or oFono).
//
// Logging: printf-style lines on the plain console log, category "Reachability":
// "Reachability Flag Status: ..." for every status computed and "Current Radio Access
// Technology: ..." for every cellular speed estimate.
//
// Thread rule: thread-safe. The notification is posted on the queue that was current when
// startNotifier() was called (the main queue when called on the main thread outside any queue),
// with the Reachability object as sender and as object (std::shared_ptr<Reachability>).
// Ownership: monitors live in std::shared_ptr; a notifier keeps no strong reference to its
// monitor, so dropping the last reference stops it.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Platform/Network/NetworkReachabilityTarget.h"
#include "VornKit/Platform/Network/RadioAccessTechnology.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// 0 not reachable, 1 reachable without the cellular network, 2 reachable over it.
using NetworkStatus = int;
inline constexpr NetworkStatus NotReachable = 0;
inline constexpr NetworkStatus ReachableViaWiFi = 1;
inline constexpr NetworkStatus ReachableViaWWAN = 2;

/// Whether the network, a host or an address can be reached, over what link, and the change
/// notification (see the top of this file). Thread-safe.
class VK_EXPORT Reachability : public std::enable_shared_from_this<Reachability> {
  public:
    /// The notification posted on every change.
    static constexpr std::string_view kNetworkReachabilityChangedNotification =
        "kNetworkReachabilityChangedNotification";
    /// The console log category of the monitor's lines.
    static constexpr std::string_view kLogCategory = "Reachability";

    /// A monitor of `hostName`; null when no target can be made for it.
    static std::shared_ptr<Reachability> reachabilityWithHostName(const std::string& hostName);
    /// A monitor of an IPv4 or IPv6 address; null on failure.
    static std::shared_ptr<Reachability> reachabilityWithAddress(const sockaddr* address);
    /// reachabilityWithAddress() of 0.0.0.0: any route to the internet.
    static std::shared_ptr<Reachability> reachabilityForInternetConnection();
    /// A monitor of an explicit target and radio source (tests; hosts with their own monitor).
    /// `radio` null: RadioInfo::shared(). Null when `target` is null.
    static std::shared_ptr<Reachability> withTarget(
        std::shared_ptr<NetworkReachabilityTarget> target,
        std::shared_ptr<RadioInfo> radio = nullptr);

    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    /// Starts posting the notification on the current queue; true only if the callback and the
    /// scheduling both succeed (false on a thread that runs no queue).
    bool startNotifier();
    /// Stops posting (nothing when already stopped).
    void stopNotifier();

    /// NotReachable when the flags cannot be read, else networkStatusForFlags().
    NetworkStatus currentReachabilityStatus();
    /// Whether the flags can be read and say a connection is required.
    bool connectionRequired();
    /// Logs the flag line and maps the flags to a status.
    NetworkStatus networkStatusForFlags(std::uint32_t flags);
    /// Estimated top download speed in megabits per second: 0 unreachable, 600 without the
    /// cellular network, by radio technology over it (the largest finite double when unknown).
    double currentMaxDownlinkSpeed();

    /// The speed for a radio access technology name (the largest finite double when unknown).
    static double downlinkSpeedFor(const std::optional<std::string>& radioAccessTechnology);

    /// The target whose flags this monitor reads.
    const std::shared_ptr<NetworkReachabilityTarget>& target() const { return target_; }

  private:
    Reachability(std::shared_ptr<NetworkReachabilityTarget> target,
                 std::shared_ptr<RadioInfo> radio)
        : target_(std::move(target)), radio_(std::move(radio)) {}

    std::shared_ptr<NetworkReachabilityTarget> target_;  // the "_reachabilityRef"
    std::shared_ptr<RadioInfo> radio_;
};

}  // namespace vk
