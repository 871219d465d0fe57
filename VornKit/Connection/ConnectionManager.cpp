#include "VornKit/Connection/ConnectionManager.h"

#include <algorithm>

#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/ApiClientEx.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

std::shared_ptr<ConnectionManager> ConnectionManager::sharedInstance() {
    // Never destroyed: clients and observers may be used until the process ends.
    static auto* instance = new std::shared_ptr<ConnectionManager>(create());
    return *instance;
}

std::shared_ptr<ConnectionManager> ConnectionManager::create(
    std::shared_ptr<DeviceInfoManager> deviceInfo) {
    std::shared_ptr<ConnectionManager> manager(new ConnectionManager(
        deviceInfo ? std::move(deviceInfo) : std::make_shared<DeviceInfoManager>()));
    manager->start();
    return manager;
}

ConnectionManager::ConnectionManager(std::shared_ptr<DeviceInfoManager> deviceInfo)
    : deviceInfo_(std::move(deviceInfo)) {}

void ConnectionManager::start() {
    // Loading the credentials calls updateApiClients() before the constructor returns.
    auto credentials = std::make_shared<NativeCredentialsManager>(weak_from_this());
    {
        std::lock_guard lock(mutex_);
        credentialsManager_ = std::move(credentials);
    }
    BandwidthSource::install(weak_from_this());
    std::weak_ptr<ConnectionManager> weak = weak_from_this();
    reachabilityObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Reachability::kNetworkReachabilityChangedNotification), nullptr, nullptr,
        [weak](const Notification& notification) {
            const auto* monitor =
                std::any_cast<std::shared_ptr<Reachability>>(&notification.object);
            if (!monitor || !*monitor)
                return;  // not a reachability monitor
            if (auto self = weak.lock())
                self->reachabilityChanged(**monitor);
        });
}

ConnectionManager::~ConnectionManager() {
    if (reachabilityObserver_ != 0)
        NotificationCenter::defaultCenter().removeObserver(reachabilityObserver_);
}

std::shared_ptr<NativeCredentialsManager> ConnectionManager::credentialsManager() {
    std::lock_guard lock(mutex_);
    return credentialsManager_;
}

void ConnectionManager::setCredentialsManager(std::shared_ptr<NativeCredentialsManager> manager) {
    std::lock_guard lock(mutex_);
    credentialsManager_ = std::move(manager);
}

double ConnectionManager::maxBandwidth() const {
    std::lock_guard lock(mutex_);
    return maxBandwidth_;
}

std::vector<std::shared_ptr<ApiClient>> ConnectionManager::getApiClients() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<ApiClient>> clients;
    clients.reserve(apiClients_.size());
    for (const auto& [id, client] : apiClients_)
        clients.push_back(client);
    return clients;
}

std::shared_ptr<ApiClient> ConnectionManager::getApiClient(const std::string& serverId) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, client] : apiClients_) {
        if (id == serverId)
            return client;
    }
    return nullptr;
}

std::shared_ptr<ApiClient> ConnectionManager::getLastUsedApiClient() const {
    std::shared_ptr<ApiClient> last;
    Date lastDate;
    for (const auto& client : getApiClients()) {
        Date date = client->dateLastAccessed();
        if (!last || date > lastDate) {
            last = client;
            lastDate = date;
        }
    }
    return last;
}

void ConnectionManager::updateApiClients(std::optional<std::vector<ServerInfo>> servers) {
    // Updates run one at a time, so records given in one call are applied in list order.
    std::lock_guard update(updateMutex_);
    if (!servers) {
        for (const auto& client : getApiClients())
            client->clearServerCredentials();
    } else {
        for (auto& server : *servers) {
            if (auto client = getApiClient(server.Id)) {
                client->setServerCredentials(server.AccessToken);
                client->updateServerInfo(server);
                continue;
            }
            // One statement each: the identity is read (and logged) in this order.
            auto deviceId = deviceInfo_->getDeviceId();
            auto deviceName = deviceInfo_->getDeviceName();
            auto appVersion = deviceInfo_->getAppVersion();
            auto appName = deviceInfo_->getAppName();
            DeviceInfo device(std::move(deviceId), std::move(deviceName), std::move(appVersion),
                              std::move(appName));
            auto id = server.Id;
            auto client = std::make_shared<ApiClientEx>(std::move(server), std::move(device));
            std::lock_guard lock(mutex_);
            apiClients_.emplace_back(std::move(id), std::move(client));
        }
    }
    std::weak_ptr<ConnectionManager> weak = weak_from_this();
    DispatchQueue::main()->async([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        NotificationCenter::defaultCenter().post(std::string(kApiClientsDidChange), self.get(),
                                                 self->getApiClients());
    });
}

void ConnectionManager::reachabilityChanged(Reachability& reachability) {
    const double bandwidth = reachability.currentMaxDownlinkSpeed() * 1000000.0 * 0.7;
    const std::int64_t status = reachability.currentReachabilityStatus();
    std::vector<std::shared_ptr<ApiClient>> clients;
    {
        std::lock_guard lock(mutex_);
        maxBandwidth_ = bandwidth;
        if (status == lastNetworkStatus_)
            return;
        lastNetworkStatus_ = status;
        for (const auto& [id, client] : apiClients_)
            clients.push_back(client);
    }
    // Clients resolve their address again on their next request.
    for (const auto& client : clients)
        client->onNetworkChanged();
}

}  // namespace vk
