#include "VornKit/Platform/Network/NetworkManagerMonitor.h"

#include <sdbus-c++/sdbus-c++.h>

namespace vk {

namespace {

constexpr const char* kManagerInterface = "org.freedesktop.NetworkManager";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";

constexpr std::uint32_t kConnectivityUnknown = 0;
constexpr std::uint32_t kConnectivityPortal = 2;
constexpr std::uint32_t kConnectivityLimited = 3;
constexpr std::uint32_t kConnectivityFull = 4;
constexpr std::uint32_t kStateConnecting = 40;
constexpr std::uint32_t kStateConnectedSite = 60;

const char* connectivityName(std::uint32_t connectivity) {
    switch (connectivity) {
        case 0:
            return "unknown";
        case 1:
            return "none";
        case 2:
            return "portal";
        case 3:
            return "limited";
        case 4:
            return "full";
        default:
            return "?";
    }
}

bool isCellularType(const std::string& type) {
    return type == "gsm" || type == "cdma";
}

}  // namespace

NetworkPath NetworkManagerMonitor::pathFor(std::uint32_t connectivity, std::uint32_t state,
                                           const std::string& primaryType) {
    NetworkPath path;
    switch (connectivity) {
        case kConnectivityFull:
        case kConnectivityLimited:
            path.reachable = true;
            break;
        case kConnectivityPortal:
            path.reachable = true;
            path.connectionRequired = true;
            path.interventionRequired = true;
            break;
        case kConnectivityUnknown:
            path.reachable = state >= kStateConnectedSite;
            break;
        default:
            break;
    }
    if (state == kStateConnecting && !path.reachable) {
        path.connectionRequired = true;
        path.transient = true;
    }
    path.cellular = isCellularType(primaryType);
    path.detail = std::string("connectivity ") + connectivityName(connectivity) + ", state " +
                  std::to_string(state) + ", primary " +
                  (primaryType.empty() ? "none" : primaryType);
    return path;
}

std::shared_ptr<NetworkManagerMonitor> NetworkManagerMonitor::start(
    std::shared_ptr<DBusConnection> bus) {
    if (!bus || !bus->nameHasOwner(kBusName))
        return nullptr;
    std::shared_ptr<NetworkManagerMonitor> monitor(new NetworkManagerMonitor(bus));
    std::weak_ptr<NetworkManagerMonitor> weak = monitor;
    auto onChange = [weak](sdbus::Message&) {
        if (auto self = weak.lock())
            self->refresh();
    };
    monitor->propertiesChanged_ = bus->subscribe(
        std::string("type='signal',sender='") + kBusName +
            "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path='" +
            kPath + "'",
        onChange);
    monitor->ownerChanged_ = bus->subscribe(
        std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                    "member='NameOwnerChanged',arg0='") +
            kBusName + "'",
        onChange);
    bus->perform([&](sdbus::IConnection&) { monitor->refresh(); });
    return monitor;
}

NetworkManagerMonitor::~NetworkManagerMonitor() {
    propertiesChanged_.reset();
    ownerChanged_.reset();
}

void NetworkManagerMonitor::refresh() {
    auto manager = bus_->properties(kBusName, kPath, kManagerInterface);
    if (!manager) {
        NetworkPath gone;
        gone.detail = "NetworkManager is not running";
        publish(gone);
        return;
    }
    auto connectivity = dbusProperty<std::int64_t>(*manager, "Connectivity").value_or(0);
    auto state = dbusProperty<std::int64_t>(*manager, "State").value_or(0);
    auto primaryType = dbusProperty<std::string>(*manager, "PrimaryConnectionType").value_or("");
    auto primary = dbusProperty<std::string>(*manager, "PrimaryConnection").value_or("/");
    std::optional<DBusProperties> active;
    if (primary != "/" && !primary.empty()) {
        active = bus_->properties(kBusName, primary, kActiveInterface);
        if (primaryType.empty() && active)
            primaryType = dbusProperty<std::string>(*active, "Type").value_or("");
    }
    auto path = pathFor(static_cast<std::uint32_t>(connectivity), static_cast<std::uint32_t>(state),
                        primaryType);
    if (path.cellular && active) {
        auto devices = dbusProperty<std::vector<std::string>>(*active, "Devices");
        for (const auto& device : devices.value_or(std::vector<std::string>{})) {
            for (const char* name : {"IpInterface", "Interface"}) {
                auto value = bus_->property(kBusName, device, kDeviceInterface, name);
                auto text = value ? dbusValueAs<std::string>(*value) : std::nullopt;
                if (text && !text->empty())
                    path.cellularInterfaces.push_back(*text);
            }
        }
    }
    publish(std::move(path));
}

}  // namespace vk
