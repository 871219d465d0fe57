#include "VornKit/Platform/Network/Rtnetlink.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vk {

namespace {

constexpr std::size_t kReceiveBuffer = 64 * 1024;

void appendAttribute(std::vector<char>& message, unsigned short type, const void* data,
                     std::size_t size) {
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
    std::size_t at = message.size();
    message.resize(at + RTA_SPACE(size), 0);
    std::memcpy(message.data() + at, &attribute, sizeof attribute);
    std::memcpy(message.data() + at + RTA_LENGTH(0), data, size);
}

/// A request: netlink header followed by `body` (an ifinfomsg, ifaddrmsg or rtmsg).
template <class Body>
std::vector<char> makeRequest(unsigned short type, unsigned short flags, const Body& body) {
    std::vector<char> message(NLMSG_SPACE(sizeof(Body)), 0);
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + NLMSG_LENGTH(0), &body, sizeof body);
    return message;
}

/// Walks the attributes following a message body of `bodySize` bytes.
template <class Visit>
void forEachAttribute(const nlmsghdr& header, std::size_t bodySize, Visit visit) {
    const char* start = reinterpret_cast<const char*>(&header) + NLMSG_SPACE(bodySize);
    long remaining = static_cast<long>(header.nlmsg_len) - static_cast<long>(NLMSG_SPACE(bodySize));
    auto* attribute = reinterpret_cast<const rtattr*>(start);
    int length = static_cast<int>(remaining);
    for (; length > 0 && RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        visit(*attribute);
    }
}

RtnetlinkSocket::Route readRoute(const nlmsghdr& header) {
    rtmsg body{};
    std::memcpy(&body, NLMSG_DATA(&header), sizeof body);
    RtnetlinkSocket::Route route;
    route.family = body.rtm_family;
    route.type = body.rtm_type;
    route.table = body.rtm_table;
    route.destinationLength = body.rtm_dst_len;
    route.flags = body.rtm_flags;
    forEachAttribute(header, sizeof body, [&](const rtattr& attribute) {
        switch (attribute.rta_type) {
            case RTA_OIF:
                std::memcpy(&route.outputInterface, RTA_DATA(&attribute), sizeof(int));
                break;
            case RTA_GATEWAY:
            case RTA_VIA:
                route.hasGateway = true;
                break;
            case RTA_PRIORITY:
                std::memcpy(&route.priority, RTA_DATA(&attribute), sizeof(std::uint32_t));
                break;
            case RTA_TABLE: {
                std::uint32_t table = 0;
                std::memcpy(&table, RTA_DATA(&attribute), sizeof table);
                route.table = static_cast<int>(table);
                break;
            }
            case RTA_MULTIPATH:
                // A multipath route goes through gateways of its own.
                route.hasGateway = true;
                break;
            default:
                break;
        }
    });
    return route;
}

}  // namespace

std::unique_ptr<RtnetlinkSocket> RtnetlinkSocket::open(unsigned groups) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return nullptr;
    }
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return std::unique_ptr<RtnetlinkSocket>(new RtnetlinkSocket(fd));
}

RtnetlinkSocket::~RtnetlinkSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RtnetlinkSocket::exchange(std::vector<char> request, bool dump,
                               const std::function<void(const nlmsghdr&)>& onMessage, int& error) {
    error = 0;
    auto* header = reinterpret_cast<nlmsghdr*>(request.data());
    header->nlmsg_len = static_cast<std::uint32_t>(request.size());
    header->nlmsg_seq = ++sequence_;
    header->nlmsg_flags |= NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        error = errno;
        return false;
    }
    std::vector<char> buffer(kReceiveBuffer);
    bool answered = false;
    for (;;) {
        ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        int length = static_cast<int>(got);
// NLMSG_OK compares the header's unsigned length with the signed one the macros need.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
#pragma GCC diagnostic pop
            if (message->nlmsg_seq != sequence_)
                continue;  // a late answer to an earlier request
            if (message->nlmsg_type == NLMSG_DONE)
                return true;
            if (message->nlmsg_type == NLMSG_ERROR) {
                nlmsgerr failure{};
                std::memcpy(&failure, NLMSG_DATA(message), sizeof failure);
                if (failure.error == 0)
                    return answered || !dump;  // the acknowledgement ends a plain request
                error = -failure.error;
                return false;
            }
            answered = true;
            onMessage(*message);
            if (!dump && !(message->nlmsg_flags & NLM_F_MULTI))
                return true;
        }
    }
}

std::optional<std::vector<RtnetlinkSocket::Link>> RtnetlinkSocket::links() {
    std::vector<Link> links;
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    int error;
    bool ok = exchange(
        makeRequest(RTM_GETLINK, 0, body), true,
        [&](const nlmsghdr& header) {
            if (header.nlmsg_type != RTM_NEWLINK)
                return;
            ifinfomsg info{};
            std::memcpy(&info, NLMSG_DATA(&header), sizeof info);
            Link link;
            link.index = info.ifi_index;
            link.flags = info.ifi_flags;
            forEachAttribute(header, sizeof info, [&](const rtattr& attribute) {
                if (attribute.rta_type == IFLA_IFNAME)
                    link.name = static_cast<const char*>(RTA_DATA(&attribute));
            });
            links.push_back(std::move(link));
        },
        error);
    if (!ok)
        return std::nullopt;
    return links;
}

std::optional<std::vector<RtnetlinkSocket::Address>> RtnetlinkSocket::addresses() {
    std::vector<Address> addresses;
    ifaddrmsg body{};
    body.ifa_family = AF_UNSPEC;
    int error;
    bool ok = exchange(
        makeRequest(RTM_GETADDR, 0, body), true,
        [&](const nlmsghdr& header) {
            if (header.nlmsg_type != RTM_NEWADDR)
                return;
            ifaddrmsg info{};
            std::memcpy(&info, NLMSG_DATA(&header), sizeof info);
            addresses.push_back(
                Address{static_cast<int>(info.ifa_index), info.ifa_family, info.ifa_scope});
        },
        error);
    if (!ok)
        return std::nullopt;
    return addresses;
}

std::optional<std::vector<RtnetlinkSocket::Route>> RtnetlinkSocket::routes() {
    std::vector<Route> routes;
    rtmsg body{};
    body.rtm_family = AF_UNSPEC;
    int error;
    bool ok = exchange(
        makeRequest(RTM_GETROUTE, 0, body), true,
        [&](const nlmsghdr& header) {
            if (header.nlmsg_type != RTM_NEWROUTE)
                return;
            auto route = readRoute(header);
            if (route.table == RT_TABLE_MAIN)
                routes.push_back(route);
        },
        error);
    if (!ok)
        return std::nullopt;
    return routes;
}

std::optional<RtnetlinkSocket::Route> RtnetlinkSocket::routeTo(const sockaddr* address) {
    rtmsg body{};
    std::vector<char> request;
    if (address->sa_family == AF_INET) {
        body.rtm_family = AF_INET;
        body.rtm_dst_len = 32;
        request = makeRequest(RTM_GETROUTE, 0, body);
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
        appendAttribute(request, RTA_DST, &ipv4->sin_addr, sizeof ipv4->sin_addr);
    } else if (address->sa_family == AF_INET6) {
        body.rtm_family = AF_INET6;
        body.rtm_dst_len = 128;
        request = makeRequest(RTM_GETROUTE, 0, body);
        const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
        appendAttribute(request, RTA_DST, &ipv6->sin6_addr, sizeof ipv6->sin6_addr);
    } else {
        return std::nullopt;
    }
    std::optional<Route> found;
    int error;
    bool ok = exchange(
        std::move(request), false,
        [&](const nlmsghdr& header) {
            if (header.nlmsg_type == RTM_NEWROUTE)
                found = readRoute(header);
        },
        error);
    if (!ok || !found)
        return std::nullopt;
    if (found->type == RTN_UNREACHABLE || found->type == RTN_BLACKHOLE ||
        found->type == RTN_PROHIBIT || found->type == RTN_THROW) {
        return std::nullopt;
    }
    return found;
}

std::optional<std::string> RtnetlinkSocket::linkName(int index) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    body.ifi_index = index;
    std::optional<std::string> name;
    int error;
    exchange(
        makeRequest(RTM_GETLINK, 0, body), false,
        [&](const nlmsghdr& header) {
            if (header.nlmsg_type != RTM_NEWLINK)
                return;
            forEachAttribute(header, sizeof(ifinfomsg), [&](const rtattr& attribute) {
                if (attribute.rta_type == IFLA_IFNAME)
                    name = std::string(static_cast<const char*>(RTA_DATA(&attribute)));
            });
        },
        error);
    return name;
}

bool RtnetlinkSocket::drainNotifications() {
    std::vector<char> buffer(kReceiveBuffer);
    bool any = false;
    for (;;) {
        ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            // ENOBUFS: notifications were lost; the caller re-reads the whole state anyway.
            return any || errno == ENOBUFS;
        }
        if (got == 0)
            return any;
        any = true;
    }
}

}  // namespace vk
