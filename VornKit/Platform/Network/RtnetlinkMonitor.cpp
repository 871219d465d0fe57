#include "VornKit/Platform/Network/RtnetlinkMonitor.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace vk {

namespace {

constexpr unsigned kGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
/// Changes come in bursts (a link going up brings addresses and routes); wait this long for the
/// burst to end before reading the tables again.
constexpr int kSettleMilliseconds = 20;
/// IFF_LOWER_UP (the carrier), from <linux/if.h>, which clashes with <net/if.h>.
constexpr unsigned kLowerUp = 1u << 16;

}  // namespace

NetworkPath RtnetlinkMonitor::pathFor(const std::vector<RtnetlinkSocket::Link>& links,
                                      const std::vector<RtnetlinkSocket::Address>& addresses,
                                      const std::vector<RtnetlinkSocket::Route>& routes) {
    const RtnetlinkSocket::Route* best = nullptr;
    const RtnetlinkSocket::Link* bestLink = nullptr;
    for (const auto& route : routes) {
        if (route.destinationLength != 0 || route.type != RTN_UNICAST ||
            (route.flags & RTNH_F_LINKDOWN) != 0) {
            continue;
        }
        auto link = std::find_if(links.begin(), links.end(), [&](const auto& candidate) {
            return candidate.index == route.outputInterface;
        });
        if (link == links.end() || !(link->flags & IFF_UP) ||
            !(link->flags & (IFF_RUNNING | kLowerUp)) || (link->flags & IFF_LOOPBACK)) {
            continue;
        }
        bool addressed = std::any_of(addresses.begin(), addresses.end(), [&](const auto& address) {
            return address.index == route.outputInterface && address.family == route.family &&
                   address.scope == RT_SCOPE_UNIVERSE;
        });
        if (!addressed)
            continue;
        if (!best || route.priority < best->priority) {
            best = &route;
            bestLink = &*link;
        }
    }
    NetworkPath path;
    path.reachable = best != nullptr;
    path.cellular = bestLink && bestLink->name.rfind("wwan", 0) == 0;
    path.detail = best ? "default route via " + bestLink->name : "no default route";
    return path;
}

std::shared_ptr<RtnetlinkMonitor> RtnetlinkMonitor::start() {
    std::shared_ptr<RtnetlinkMonitor> monitor(new RtnetlinkMonitor());
    monitor->events_ = RtnetlinkSocket::open(kGroups);
    monitor->requests_ = RtnetlinkSocket::open();
    monitor->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!monitor->events_ || !monitor->requests_ || monitor->wakeFd_ < 0)
        return nullptr;
    monitor->refresh();
    // The thread holds a plain pointer: the destructor stops and joins it first.
    auto* raw = monitor.get();
    monitor->thread_ = std::thread([raw] { raw->run(); });
    return monitor;
}

RtnetlinkMonitor::~RtnetlinkMonitor() {
    stopping_ = true;
    if (wakeFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void RtnetlinkMonitor::refresh() {
    auto links = requests_->links();
    auto addresses = requests_->addresses();
    auto routes = requests_->routes();
    if (!links || !addresses || !routes) {
        NetworkPath unknown;
        unknown.detail = "the kernel's tables could not be read";
        publish(unknown);
        return;
    }
    publish(pathFor(*links, *addresses, *routes));
}

void RtnetlinkMonitor::run() {
    while (!stopping_) {
        pollfd fds[2] = {{events_->fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0)
            continue;
        if (stopping_)
            break;
        if (fds[0].revents & (POLLIN | POLLERR)) {
            events_->drainNotifications();
            // Let the rest of the burst arrive, then read the tables once.
            pollfd settle = {events_->fd(), POLLIN, 0};
            while (!stopping_ && ::poll(&settle, 1, kSettleMilliseconds) > 0)
                events_->drainNotifications();
            if (!stopping_)
                refresh();
        }
    }
}

}  // namespace vk
