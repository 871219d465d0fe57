#include "VornKit/Net/Reachability.h"

#include <netinet/in.h>

#include <limits>
#include <map>

#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace vk {

std::shared_ptr<Reachability> Reachability::withTarget(
    std::shared_ptr<NetworkReachabilityTarget> target, std::shared_ptr<RadioInfo> radio) {
    if (!target)
        return nullptr;
    return std::shared_ptr<Reachability>(new Reachability(std::move(target), std::move(radio)));
}

std::shared_ptr<Reachability> Reachability::reachabilityWithHostName(const std::string& hostName) {
    return withTarget(NetworkReachabilityTarget::forHostName(hostName));
}

std::shared_ptr<Reachability> Reachability::reachabilityWithAddress(const sockaddr* address) {
    return withTarget(NetworkReachabilityTarget::forAddress(address));
}

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

Reachability::~Reachability() {
    stopNotifier();
}

bool Reachability::startNotifier() {
    auto queue = DispatchQueue::current();
    if (!queue && DispatchQueue::main()->isCurrent())
        queue = DispatchQueue::main();
    std::weak_ptr<Reachability> weak = weak_from_this();
    bool callbackSet = target_->setCallback([weak](std::uint32_t) {
        auto self = weak.lock();
        if (!self)
            return;
        NotificationCenter::defaultCenter().post(
            std::string(kNetworkReachabilityChangedNotification), self.get(), self);
    });
    return callbackSet && queue && target_->schedule(queue);
}

void Reachability::stopNotifier() {
    if (target_)
        target_->unschedule();
}

NetworkStatus Reachability::currentReachabilityStatus() {
    auto flags = target_->flags();
    if (!flags)
        return NotReachable;
    return networkStatusForFlags(*flags);
}

bool Reachability::connectionRequired() {
    auto flags = target_->flags();
    return flags && (*flags & ReachabilityFlags::ConnectionRequired);
}

NetworkStatus Reachability::networkStatusForFlags(std::uint32_t flags) {
    using namespace ReachabilityFlags;
    auto mark = [flags](std::uint32_t bit, char letter) { return (flags & bit) ? letter : '-'; };
    consoleLog(kLogCategory, "Reachability Flag Status: %c%c %c%c%c%c%c%c%c %s\n",
               mark(IsWWAN, 'W'), mark(Reachable, 'R'), mark(TransientConnection, 't'),
               mark(ConnectionRequired, 'c'), mark(ConnectionOnTraffic, 'C'),
               mark(InterventionRequired, 'i'), mark(ConnectionOnDemand, 'D'),
               mark(IsLocalAddress, 'l'), mark(IsDirect, 'd'), "networkStatusForFlags");
    if (!(flags & Reachable))
        return NotReachable;
    if (flags & IsWWAN)
        return ReachableViaWWAN;
    if ((flags & (ConnectionOnDemand | ConnectionOnTraffic)) && !(flags & InterventionRequired))
        return ReachableViaWiFi;
    return (flags & ConnectionRequired) ? NotReachable : ReachableViaWiFi;
}

double Reachability::downlinkSpeedFor(const std::optional<std::string>& technology) {
    static const std::map<std::string, double> kSpeeds = {
        {RadioAccessTechnology::CDMA1x, 0.153},     {RadioAccessTechnology::CDMAEVDORev0, 2.46},
        {RadioAccessTechnology::CDMAEVDORevA, 3.1}, {RadioAccessTechnology::CDMAEVDORevB, 14.7},
        {RadioAccessTechnology::Edge, 0.384},       {RadioAccessTechnology::GPRS, 0.237},
        {RadioAccessTechnology::HSDPA, 14.3},       {RadioAccessTechnology::HSUPA, 14.4},
        {RadioAccessTechnology::LTE, 100.0},        {RadioAccessTechnology::WCDMA, 2.0},
        {RadioAccessTechnology::eHRPD, 21.0},
    };
    if (technology) {
        if (auto found = kSpeeds.find(*technology); found != kSpeeds.end())
            return found->second;
    }
    return std::numeric_limits<double>::max();
}

double Reachability::currentMaxDownlinkSpeed() {
    switch (currentReachabilityStatus()) {
        case NotReachable:
            return 0.0;
        case ReachableViaWiFi:
            return 600.0;
        case ReachableViaWWAN: {
            auto radio = radio_ ? radio_ : RadioInfo::shared();
            auto technology = radio ? radio->currentRadioAccessTechnology() : std::nullopt;
            consoleLog(kLogCategory, "Current Radio Access Technology: %s",
                       technology ? technology->c_str() : "(null)");
            return downlinkSpeedFor(technology);
        }
        default:
            return std::numeric_limits<double>::max();
    }
}

}  // namespace vk
