#include "VornKit/Platform/Network/NetworkReachabilityTarget.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <strings.h>

#include <cstring>

namespace vk {

namespace {

bool isAllZero(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&address);
        return ipv4->sin_addr.s_addr == 0;
    }
    const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(&address);
    static const in6_addr kAny = IN6ADDR_ANY_INIT;
    return std::memcmp(&ipv6->sin6_addr, &kAny, sizeof kAny) == 0;
}

}  // namespace

std::shared_ptr<NetworkReachabilityTarget> NetworkReachabilityTarget::forAddress(
    const sockaddr* address, std::shared_ptr<NetworkMonitor> monitor) {
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        return nullptr;
    if (!monitor)
        monitor = NetworkMonitor::shared();
    if (!monitor)
        return nullptr;
    std::shared_ptr<NetworkReachabilityTarget> target(new NetworkReachabilityTarget());
    target->monitor_ = std::move(monitor);
    std::memcpy(&target->address_, address,
                address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    target->internet_ = isAllZero(target->address_);
    if (!target->internet_)
        target->routes_ = RtnetlinkSocket::open();
    return target;
}

std::shared_ptr<NetworkReachabilityTarget> NetworkReachabilityTarget::forHostName(
    const std::string& hostName, std::shared_ptr<NetworkMonitor> monitor) {
    if (hostName.empty())
        return nullptr;
    std::string literal = hostName;
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    if (strcasecmp(literal.c_str(), "localhost") == 0)
        literal = "127.0.0.1";
    sockaddr_in ipv4{};
    sockaddr_in6 ipv6{};
    if (::inet_pton(AF_INET, literal.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        return forAddress(reinterpret_cast<sockaddr*>(&ipv4), std::move(monitor));
    }
    if (::inet_pton(AF_INET6, literal.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        return forAddress(reinterpret_cast<sockaddr*>(&ipv6), std::move(monitor));
    }
    // A name: the flags of the way to the internet.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    return forAddress(reinterpret_cast<sockaddr*>(&any), std::move(monitor));
}

NetworkReachabilityTarget::~NetworkReachabilityTarget() {
    unschedule();
}

std::uint32_t NetworkReachabilityTarget::internetFlags() const {
    auto path = monitor_->currentPath();
    std::uint32_t flags = 0;
    if (path.reachable)
        flags |= ReachabilityFlags::Reachable;
    if (path.cellular)
        flags |= ReachabilityFlags::IsWWAN;
    if (path.connectionRequired)
        flags |= ReachabilityFlags::ConnectionRequired;
    if (path.interventionRequired)
        flags |= ReachabilityFlags::InterventionRequired;
    if (path.transient)
        flags |= ReachabilityFlags::TransientConnection;
    return flags;
}

std::optional<std::uint32_t> NetworkReachabilityTarget::flags() {
    if (internet_)
        return internetFlags();
    std::lock_guard lock(mutex_);
    if (!routes_)
        return std::nullopt;
    auto route = routes_->routeTo(reinterpret_cast<const sockaddr*>(&address_));
    if (!route)
        return 0u;
    std::uint32_t flags = ReachabilityFlags::Reachable;
    if (route->type == RTN_LOCAL)
        flags |= ReachabilityFlags::IsLocalAddress | ReachabilityFlags::IsDirect;
    else if (!route->hasGateway)
        flags |= ReachabilityFlags::IsDirect;
    if (auto name = routes_->linkName(route->outputInterface);
        name && monitor_->isCellularInterface(*name)) {
        flags |= ReachabilityFlags::IsWWAN;
    }
    return flags;
}

bool NetworkReachabilityTarget::setCallback(Callback callback) {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
}

bool NetworkReachabilityTarget::schedule(std::shared_ptr<DispatchQueue> queue) {
    {
        std::lock_guard lock(mutex_);
        if (!callback_ || !queue)
            return false;
    }
    std::lock_guard order(scheduleMutex_);
    unscheduleLocked();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        queue_ = queue;
        generation = ++generation_;
    }
    // The observer is in place before the starting flags are read, and a look it sets off waits
    // (scheduleMutex_) until they are stored: a change is either in them or reported.
    std::weak_ptr<NetworkReachabilityTarget> weak = weak_from_this();
    // The observer runs on the monitor's thread: it only hands the look to the queue.
    auto observer = monitor_->addObserver([weak, queue, generation] {
        queue->async([weak, generation] {
            if (auto self = weak.lock())
                self->check(generation);
        });
    });
    auto baseline = flags();
    std::lock_guard lock(mutex_);
    observer_ = observer;
    lastFlags_ = baseline;
    return true;
}

void NetworkReachabilityTarget::unschedule() {
    std::lock_guard order(scheduleMutex_);
    unscheduleLocked();
}

void NetworkReachabilityTarget::unscheduleLocked() {
    std::optional<std::uint64_t> observer;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        observer = observer_;
        observer_.reset();
        queue_.reset();
    }
    if (observer)
        monitor_->removeObserver(*observer);
}

void NetworkReachabilityTarget::check(std::uint64_t generation) {
    Callback callback;
    std::uint32_t now = 0;
    {
        std::lock_guard order(scheduleMutex_);
        {
            std::lock_guard lock(mutex_);
            if (generation != generation_)
                return;
        }
        auto flagsNow = flags();
        if (!flagsNow)
            return;
        std::lock_guard lock(mutex_);
        if (generation != generation_ || flagsNow == lastFlags_)
            return;
        lastFlags_ = flagsNow;
        now = *flagsNow;
        callback = callback_;
    }
    if (callback)
        callback(now);
}

}  // namespace vk
