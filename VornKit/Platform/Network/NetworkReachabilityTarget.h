// NetworkReachabilityTarget: whether a host name or an address can be reached now, as the
// platform's reachability flags, and a callback when those flags change.
//
// Flags: the internet target (the all-zero address of either family) takes them from the network
// monitor: reachable, cellular (IsWWAN), connection required, intervention required, transient.
// Another address is reachable when the kernel has a route to it; the route tells IsDirect (no
// gateway), IsLocalAddress (an address of this machine) and IsWWAN (it leaves through a cellular
// link). A host name that is an address literal or "localhost" is that address; any other name is
// not looked up (that could block for seconds) and takes the internet target's flags.
//
// Callbacks: schedule(queue) delivers the new flags on `queue` each time they differ from the
// last ones seen; the monitor's notifications are the occasion to look again.
//
// Thread rule: thread-safe. The target keeps a netlink socket of the network namespace of the
// thread that created it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "VornKit/Platform/Network/Rtnetlink.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// The platform's network-reachability flag bits.
namespace ReachabilityFlags {
/// The flag bits, valued as the platform's reachability flags: reachable now, reachable only after
/// a connection is made (on traffic, on demand, or with the user's intervention), transient,
/// an address of this machine, no gateway on the way, over a cellular link (IsWWAN).
/// @{
inline constexpr std::uint32_t TransientConnection = 0x1;
inline constexpr std::uint32_t Reachable = 0x2;
inline constexpr std::uint32_t ConnectionRequired = 0x4;
inline constexpr std::uint32_t ConnectionOnTraffic = 0x8;
inline constexpr std::uint32_t InterventionRequired = 0x10;
inline constexpr std::uint32_t ConnectionOnDemand = 0x20;
inline constexpr std::uint32_t IsLocalAddress = 0x10000;
inline constexpr std::uint32_t IsDirect = 0x20000;
inline constexpr std::uint32_t IsWWAN = 0x40000;
/// @}
}  // namespace ReachabilityFlags

/// Whether one host or address can be reached now, and a callback when that changes (see the top
/// of this file).
class VK_EXPORT NetworkReachabilityTarget
    : public std::enable_shared_from_this<NetworkReachabilityTarget> {
  public:
    /// Called with the new ReachabilityFlags bits.
    using Callback = std::function<void(std::uint32_t flags)>;

    /// A target for `hostName`; null for an empty name or without a network monitor.
    static std::shared_ptr<NetworkReachabilityTarget> forHostName(
        const std::string& hostName, std::shared_ptr<NetworkMonitor> monitor = nullptr);
    /// A target for an IPv4 or IPv6 socket address; null for another family or without a
    /// network monitor. `monitor` null: NetworkMonitor::shared().
    static std::shared_ptr<NetworkReachabilityTarget> forAddress(
        const sockaddr* address, std::shared_ptr<NetworkMonitor> monitor = nullptr);
    ~NetworkReachabilityTarget();

    /// The flags now; absent when they cannot be read.
    std::optional<std::uint32_t> flags();

    /// The callback that schedule() calls. Replaces an earlier one; null removes it.
    bool setCallback(Callback callback);
    /// Starts calling back on `queue`; false without a callback or a queue.
    bool schedule(std::shared_ptr<DispatchQueue> queue);
    /// Stops calling back (a delivery already on its way to the queue is dropped).
    void unschedule();

    /// The network monitor the flags come from.
    const std::shared_ptr<NetworkMonitor>& monitor() const { return monitor_; }

  private:
    NetworkReachabilityTarget() = default;
    /// Looks again (on the scheduled queue) and calls back when the flags changed.
    void check(std::uint64_t generation);
    void unscheduleLocked();  // scheduleMutex_ held
    std::uint32_t internetFlags() const;

    std::shared_ptr<NetworkMonitor> monitor_;
    bool internet_ = false;
    sockaddr_storage address_{};

    // Orders schedule, unschedule and each look at the flags, so that the starting flags are
    // stored before a look compares against them. Taken before mutex_.
    std::mutex scheduleMutex_;
    std::mutex mutex_;
    std::unique_ptr<RtnetlinkSocket> routes_;
    Callback callback_;
    std::shared_ptr<DispatchQueue> queue_;
    std::optional<std::uint64_t> observer_;
    std::uint64_t generation_ = 0;  // grows at each schedule/unschedule
    std::optional<std::uint32_t> lastFlags_;
};

}  // namespace vk
