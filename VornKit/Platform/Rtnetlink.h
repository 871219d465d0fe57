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

class VK_EXPORT RtnetlinkSocket {
  public:
    struct Link {
        int index = 0;
        std::string name;
        unsigned flags = 0;  ///< IFF_UP, IFF_RUNNING, IFF_LOWER_UP, ...
    };
    struct Address {
        int index = 0;
        int family = 0;
        int scope = 0;  ///< RT_SCOPE_UNIVERSE (0) for addresses that reach beyond the link
    };
    struct Route {
        int family = 0;
        int type = 0;  ///< RTN_UNICAST, RTN_LOCAL, RTN_UNREACHABLE, ...
        int table = 0;
        int destinationLength = 0;
        int outputInterface = 0;
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

    int fd() const { return fd_; }

    std::optional<std::vector<Link>> links();
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
