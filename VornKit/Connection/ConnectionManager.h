// ConnectionManager: the process-wide registry of API clients, one ApiClientEx per known server,
// keyed by server id. Created on first use of sharedInstance(): that loads the saved credentials
// (NativeCredentialsManager), which creates the clients. It keeps the clients' tokens and server
// records in step with the credentials, forgets every client's resolved address when the network
// status changes, records the usable bandwidth for bit-rate estimates (it is the process's
// BandwidthSource) and posts "apiClientsDidChange" when its set of clients may have changed.
//
// Clients are never removed while the process runs: a server dropped from the credentials keeps
// its client; credentials without a server list clear every client's token.
//
// Notifications (default centre):
//   - "apiClientsDidChange": after every updateApiClients(), posted asynchronously on the main
//     queue; object: std::vector<std::shared_ptr<ApiClient>> (every client, taken when posting).
//   - observes "kNetworkReachabilityChangedNotification" from any Reachability; the handler runs
//     on the posting thread.
//
// Thread rule: thread-safe. The registry, the bandwidth and the last network status are guarded
// by one lock (the registry is read from many threads). updateApiClients() runs on the caller's
// thread; reachability handling on the thread that posted the notification. Ownership: the shared
// instance lives for the whole process; clients are shared with callers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Api/BandwidthSource.h"
#include "VornKit/Connection/DeviceInfoManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace vk {

class Reachability;

/// The registry of API clients, one per known server (see the file comment); shared, thread-safe.
class VK_EXPORT ConnectionManager : public ApiClientsUpdating,
                                    public BandwidthSource,
                                    public std::enable_shared_from_this<ConnectionManager> {
  public:
    /// The notifications the manager posts on the default centre: the set of API clients changed;
    /// an item's favourite flag changed.
    /// @{
    static constexpr std::string_view kApiClientsDidChange = "apiClientsDidChange";
    static constexpr std::string_view kItemFavoritesDidChange = "itemFavoritesDidChange";
    /// @}

    /// The single instance, created (with its clients) on first use; never destroyed.
    static std::shared_ptr<ConnectionManager> sharedInstance();

    /// A manager of its own (tests, tools): reads the credentials, installs itself as the
    /// bandwidth source and observes reachability, as the shared instance does. `deviceInfo`
    /// null: a new DeviceInfoManager.
    static std::shared_ptr<ConnectionManager> create(
        std::shared_ptr<DeviceInfoManager> deviceInfo = nullptr);
    ~ConnectionManager() override;
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    /// The credentials store the clients come from (shared).
    std::shared_ptr<NativeCredentialsManager> credentialsManager();
    /// Replaces the credentials store (tests, tools); existing clients are kept.
    void setCredentialsManager(std::shared_ptr<NativeCredentialsManager> manager);
    /// 70 % of the downlink speed last reported by the reachability monitor, in bits per second
    /// (1,500,000 until the first report; may be infinite).
    double maxBandwidth() const override;
    /// Where this device's identity comes from; fixed for the manager's life.
    const std::shared_ptr<DeviceInfoManager>& deviceInfoManager() const { return deviceInfo_; }

    /// Every registered client, in the order they were registered.
    std::vector<std::shared_ptr<ApiClient>> getApiClients() const;
    /// The client of `serverId` (shared), or null when none is registered.
    std::shared_ptr<ApiClient> getApiClient(const std::string& serverId) const;
    /// The client whose server was used last (a client never used ranks last); null without
    /// clients.
    std::shared_ptr<ApiClient> getLastUsedApiClient() const;
    /// Brings the registry in step with the credentials' server list (absent: clear every
    /// token; empty: change nothing), then posts "apiClientsDidChange".
    void updateApiClients(std::optional<std::vector<ServerInfo>> servers) override;

    /// The reachability handler (public for hosts that drive it from their own monitor).
    void reachabilityChanged(Reachability& reachability);

  private:
    explicit ConnectionManager(std::shared_ptr<DeviceInfoManager> deviceInfo);
    void start();

    const std::shared_ptr<DeviceInfoManager> deviceInfo_;
    std::mutex updateMutex_;  // one updateApiClients() at a time
    mutable std::mutex mutex_;
    std::shared_ptr<NativeCredentialsManager> credentialsManager_;
    double maxBandwidth_ = kDefaultBandwidth;
    std::vector<std::pair<std::string, std::shared_ptr<ApiClient>>> apiClients_;
    std::int64_t lastNetworkStatus_ = -1;
    ObserverToken reachabilityObserver_ = 0;
};

}  // namespace vk
