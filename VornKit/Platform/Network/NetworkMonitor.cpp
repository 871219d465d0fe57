#include "VornKit/Platform/Network/NetworkMonitor.h"

#include <algorithm>

#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Network/NetworkManagerMonitor.h"
#include "VornKit/Platform/Network/RtnetlinkMonitor.h"
#include "VornKit/Platform/Runtime/ProcessShared.h"

namespace vk {

NetworkPath NetworkMonitor::currentPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}

std::uint64_t NetworkMonitor::addObserver(std::function<void()> observer) {
    std::lock_guard lock(observersMutex_);
    auto token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void NetworkMonitor::removeObserver(std::uint64_t token) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(token);
}

bool NetworkMonitor::isCellularInterface(const std::string& interfaceName) const {
    if (interfaceName.rfind("wwan", 0) == 0)
        return true;
    std::lock_guard lock(mutex_);
    const auto& names = path_.cellularInterfaces;
    return std::find(names.begin(), names.end(), interfaceName) != names.end();
}

void NetworkMonitor::publish(NetworkPath path) {
    {
        std::lock_guard lock(mutex_);
        path_ = std::move(path);
    }
    std::lock_guard lock(observersMutex_);
    for (const auto& [token, observer] : observers_)
        observer();
}

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared() {
    return ProcessShared<NetworkMonitor>::get([]() -> std::shared_ptr<NetworkMonitor> {
        if (auto bus = DBusConnection::system()) {
            if (auto monitor = NetworkManagerMonitor::start(bus))
                return monitor;
        }
        return RtnetlinkMonitor::start();
    });
}

void NetworkMonitor::install(std::shared_ptr<NetworkMonitor> monitor) {
    ProcessShared<NetworkMonitor>::install(std::move(monitor));
}

}  // namespace vk
