// RtnetlinkMonitor: the network as the kernel sees it, for hosts without NetworkManager. It
// listens to rtnetlink's link, address and route notifications and, after each burst, reads the
// links, addresses and main-table routes again.
//
// Mapping: the internet is reachable when a default route (IPv4 or IPv6) goes out of a link that
// is up, has its carrier and carries an address of global scope of the route's family. The path
// is cellular when the best of those routes (lowest metric) leaves through a link named wwan*.
//
// The monitor belongs to the network namespace of the thread that started it.
//
// Thread rule: thread-safe; observers run on the monitor's own thread.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "VornKit/Export.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "VornKit/Platform/Network/Rtnetlink.h"

namespace vk {

/// The network monitor for hosts without NetworkManager: the network as the kernel's rtnetlink
/// reports it (see the top of this file). Thread-safe; observers run on the monitor's own thread.
class VK_EXPORT RtnetlinkMonitor : public NetworkMonitor {
  public:
    /// A running monitor of the calling thread's network namespace; null when the kernel refuses
    /// a netlink socket.
    static std::shared_ptr<RtnetlinkMonitor> start();
    ~RtnetlinkMonitor() override;

    std::string backendName() const override { return "rtnetlink"; }

    /// The path for a snapshot of the kernel's tables (exposed for tests of the mapping).
    static NetworkPath pathFor(const std::vector<RtnetlinkSocket::Link>& links,
                               const std::vector<RtnetlinkSocket::Address>& addresses,
                               const std::vector<RtnetlinkSocket::Route>& routes);

  private:
    RtnetlinkMonitor() = default;
    void refresh();
    void run();

    std::unique_ptr<RtnetlinkSocket> events_;
    std::unique_ptr<RtnetlinkSocket> requests_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vk
