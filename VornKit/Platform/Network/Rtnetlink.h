// RtnetlinkSocket: a NETLINK_ROUTE socket of the network namespace it was opened in, for asking
// the kernel about links, addresses and routes (request and answer) and, when opened with
// multicast groups, for hearing about their changes.
//
// The namespace is fixed when the socket is opened: a monitor or reachability target opened in a
// test's own network namespace keeps seeing that namespace whatever thread uses it later.
//
// Thread rule: externally synchronised (one request at a time per socket). Requests wait at most
// one second for the kernel's answer.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"

struct nlmsghdr;

namespace vk {

/// A NETLINK_ROUTE socket bound to the network namespace it was opened in (see the top of this
/// file). Externally synchronised.
class VK_EXPORT RtnetlinkSocket {
  public:
    /// A network interface.
    struct Link {
        /// The interface index.
        int index = 0;
        /// The interface name ("eth0").
        std::string name;
        unsigned flags = 0;  ///< IFF_UP, IFF_RUNNING, IFF_LOWER_UP, ...
    };
    /// An address on an interface (which address is not kept: only where it reaches).
    struct Address {
        /// The interface it is on.
        int index = 0;
        /// AF_INET or AF_INET6.
        int family = 0;
        int scope = 0;  ///< RT_SCOPE_UNIVERSE (0) for addresses that reach beyond the link
    };
    /// A route of the kernel's routing tables.
    struct Route {
        /// AF_INET or AF_INET6.
        int family = 0;
        int type = 0;  ///< RTN_UNICAST, RTN_LOCAL, RTN_UNREACHABLE, ...
        /// The routing table (RT_TABLE_MAIN, ...).
        int table = 0;
        /// The prefix length of the destination; 0 for a default route.
        int destinationLength = 0;
        /// The index of the interface it leaves through, or 0.
        int outputInterface = 0;
        /// Whether it goes through a gateway.
        bool hasGateway = false;
        std::uint32_t priority = 0;  ///< the route's metric
        unsigned flags = 0;          ///< RTNH_F_LINKDOWN, ...
    };

    /// A socket of the calling thread's network namespace, joined to the multicast `groups`
    /// (RTMGRP_* bits; 0 for requests only). Null when the kernel refuses.
    static std::unique_ptr<RtnetlinkSocket> open(unsigned groups = 0);
    ~RtnetlinkSocket();
    RtnetlinkSocket(const RtnetlinkSocket&) = delete;
    RtnetlinkSocket& operator=(const RtnetlinkSocket&) = delete;

    /// The socket's descriptor, to poll for notifications; owned by this object.
    int fd() const { return fd_; }

    /// Every link, or absent when the kernel does not answer in time or fails.
    std::optional<std::vector<Link>> links();
    /// Every address of both families, or absent when the kernel does not answer in time or fails.
    std::optional<std::vector<Address>> addresses();
    /// Every route of the main table, both families.
    std::optional<std::vector<Route>> routes();
    /// The route the kernel would take to `address` (AF_INET or AF_INET6); absent when there is
    /// none (unreachable network) or the kernel cannot say.
    std::optional<Route> routeTo(const sockaddr* address);
    /// The name of the link with `index`, in this socket's namespace.
    std::optional<std::string> linkName(int index);

    /// Reads every notification that is waiting (without blocking); true when any arrived.
    bool drainNotifications();

  private:
    explicit RtnetlinkSocket(int fd) : fd_(fd) {}
    /// Sends `request` and hands each answer message to `onMessage` until the answer ends;
    /// false on error (errno-style code in `error`).
    bool exchange(std::vector<char> request, bool dump,
                  const std::function<void(const ::nlmsghdr&)>& onMessage, int& error);

    int fd_ = -1;
    std::uint32_t sequence_ = 0;
};

}  // namespace vk
