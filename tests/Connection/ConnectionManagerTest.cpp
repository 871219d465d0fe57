#include "VornKit/Connection/ConnectionManager.h"

#include <netinet/in.h>

#include <sdbus-c++/sdbus-c++.h>
#include <atomic>
#include <cmath>
#include <thread>

#include "ConnectionTestSupport.h"
#include "Support/PrivateBus.h"
#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/ApiClientEx.h"
#include "VornKit/Platform/Network/NetworkManagerMonitor.h"
#include "refserver/RefServer.h"

namespace vk {
namespace {

using Clients = std::vector<std::shared_ptr<ApiClient>>;

ServerInfo server(std::string id, std::optional<std::string> token,
                  std::optional<Date> lastAccessed = std::nullopt) {
    ServerInfo info;
    info.Id = id;
    info.Name = "Server " + id;
    info.AccessToken = std::move(token);
    info.LocalAddress = "http://127.0.0.1:9";
    info.DateLastAccessed = lastAccessed;
    return info;
}

/// Counts "apiClientsDidChange" and keeps the last list posted.
class ClientsChanges {
  public:
    ClientsChanges() {
        token_ = NotificationCenter::defaultCenter().addObserver(
            std::string(ConnectionManager::kApiClientsDidChange), nullptr, nullptr,
            [this](const Notification& notification) {
                onMain = onMain && DispatchQueue::main()->isCurrent();
                auto* clients = std::any_cast<Clients>(&notification.object);
                last = clients ? *clients : Clients{};
                ++count;
            });
    }
    ~ClientsChanges() { NotificationCenter::defaultCenter().removeObserver(token_); }
    bool waitFor(int expected) {
        return test::pumpMainQueueUntil([&] { return count.load() >= expected; });
    }
    std::atomic<int> count{0};
    std::atomic<bool> onMain{true};
    Clients last;

  private:
    ObserverToken token_ = 0;
};

class ConnectionManagerTest : public test::ConnectionFixture {
  protected:
    std::shared_ptr<ApiClient> client(const std::string& id) { return manager_->getApiClient(id); }
    std::shared_ptr<ConnectionManager> manager_ = nullptr;
};

TEST_F(ConnectionManagerTest, CreatingItLoadsTheSavedServersAsClients) {
    notFirstRun();
    KeychainHelper::addOrUpdate(
        "SERVER_CREDENTIALS_KEY",
        R"({"Servers":[{"Id":"a","Name":"A","AccessToken":"tok-8f1d2c77-living-room"},)"
        R"({"Id":"b","Name":"B"}]})",
        true, true);
    ClientsChanges changes;
    manager_ = ConnectionManager::create();
    // The clients exist as soon as the manager does.
    ASSERT_EQ(manager_->getApiClients().size(), 2u);
    auto a = client("a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->className(), ApiClientEx::kClassName);
    EXPECT_TRUE(dynamic_cast<ApiClientEx*>(a.get()));
    EXPECT_EQ(a->getServerCredentials(), "tok-8f1d2c77-living-room");
    EXPECT_FALSE(client("b")->getServerCredentials());
    EXPECT_FALSE(client("c"));

    // Each client carries the device identity, read from the identity provider.
    const auto& device = a->deviceInfo();
    EXPECT_EQ(device.deviceId, "0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F");
    EXPECT_EQ(device.deviceName, "Test Machine");
    EXPECT_EQ(device.appName, "Vorn for macOS");
    EXPECT_EQ(device.appVersion, "1.0.0");
    // Read in that order, once per new client (the id is read once and kept).
    EXPECT_EQ(log_->messages("DeviceInfoManager"),
              (std::vector<std::string>{"DeviceId 0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F",
                                        "Running on Test Machine", "Version 1.0.0",
                                        "Running on Test Machine", "Version 1.0.0"}));

    ASSERT_TRUE(changes.waitFor(1));
    EXPECT_TRUE(changes.onMain.load());
    EXPECT_EQ(changes.last, manager_->getApiClients());
}

TEST_F(ConnectionManagerTest, UpdatesFollowTheCredentialsWithoutEverRemovingAClient) {
    manager_ = ConnectionManager::create();
    ClientsChanges changes;
    manager_->updateApiClients(
        std::vector<ServerInfo>{server("a", "tok-0a9b3e55-cabin"), server("b", std::nullopt)});
    auto a = client("a");
    a->setServerAddress("http://10.0.0.5:8096");

    // The same id again: the existing client takes the new token and record, keeps its address.
    auto renewed = server("a", "tok-c4d5e6f7-renewed");
    renewed.Name = "Renamed";
    manager_->updateApiClients(std::vector<ServerInfo>{renewed});
    EXPECT_EQ(client("a"), a);
    EXPECT_EQ(a->getServerCredentials(), "tok-c4d5e6f7-renewed");
    EXPECT_EQ(a->serverName(), "Renamed");
    EXPECT_EQ(a->serverAddress(), "http://10.0.0.5:8096");
    // "b" was left out of the list and stays registered.
    EXPECT_TRUE(client("b"));

    // An empty list changes nothing.
    manager_->updateApiClients(std::vector<ServerInfo>{});
    EXPECT_EQ(manager_->getApiClients().size(), 2u);
    EXPECT_EQ(a->getServerCredentials(), "tok-c4d5e6f7-renewed");

    // No list at all clears every token; the clients stay.
    manager_->updateApiClients(std::nullopt);
    EXPECT_EQ(manager_->getApiClients().size(), 2u);
    EXPECT_FALSE(a->getServerCredentials());

    // An id twice in one list: one client, the later record wins.
    manager_->updateApiClients(std::vector<ServerInfo>{server("c", "tok-0a9b3e55-cabin"),
                                                       server("c", "tok-c4d5e6f7-renewed")});
    EXPECT_EQ(manager_->getApiClients().size(), 3u);
    EXPECT_EQ(client("c")->getServerCredentials(), "tok-c4d5e6f7-renewed");

    // Every update posts, on the main queue.
    ASSERT_TRUE(changes.waitFor(5));
    EXPECT_TRUE(changes.onMain.load());
    EXPECT_EQ(changes.last.size(), 3u);
}

TEST_F(ConnectionManagerTest, CredentialsFromTheHostReachTheRegistry) {
    manager_ = ConnectionManager::create();
    manager_->credentialsManager()->updateCredentials(
        R"({"Servers":[{"Id":"h","Name":"Host","AccessToken":"tok-77aa88bb-reference"}]})");
    ASSERT_TRUE(client("h"));
    EXPECT_EQ(client("h")->getServerCredentials(), "tok-77aa88bb-reference");
    manager_->credentialsManager()->updateCredentials("{}");
    EXPECT_EQ(client("h")->getServerCredentials(), "tok-77aa88bb-reference");  // not told
}

TEST_F(ConnectionManagerTest, LastUsedClientIsTheLatestAccessedAndNeverUsedRanksLast) {
    manager_ = ConnectionManager::create();
    EXPECT_FALSE(manager_->getLastUsedApiClient());
    auto now = std::chrono::system_clock::now();
    manager_->updateApiClients(
        std::vector<ServerInfo>{server("never", std::nullopt),
                                server("yesterday", std::nullopt, now - std::chrono::hours(24)),
                                server("today", std::nullopt, now)});
    EXPECT_EQ(manager_->getLastUsedApiClient(), client("today"));
    manager_->updateApiClients(std::vector<ServerInfo>{server("never", std::nullopt)});
    manager_->updateApiClients(
        std::vector<ServerInfo>{server("today", std::nullopt, now - std::chrono::hours(48))});
    EXPECT_EQ(manager_->getLastUsedApiClient(), client("yesterday"));
}

NetworkPath path(bool reachable, bool cellular = false) {
    NetworkPath made;
    made.reachable = reachable;
    made.cellular = cellular;
    return made;
}

std::shared_ptr<Reachability> internet(std::shared_ptr<NetworkMonitor> monitor,
                                       std::shared_ptr<RadioInfo> radio) {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return Reachability::withTarget(NetworkReachabilityTarget::forAddress(
                                        reinterpret_cast<sockaddr*>(&zero), std::move(monitor)),
                                    std::move(radio));
}

TEST_F(ConnectionManagerTest, NetworkStatusChangesClearAddressesAndEveryReportSetsBandwidth) {
    manager_ = ConnectionManager::create();
    manager_->updateApiClients(std::vector<ServerInfo>{server("a", std::nullopt)});
    auto a = client("a");
    EXPECT_EQ(manager_->maxBandwidth(), 1'500'000.0);

    auto monitor = std::make_shared<ManualNetworkMonitor>(path(true));
    auto reachability =
        internet(monitor, std::make_shared<FixedRadioInfo>("CTRadioAccessTechnologyLTE"));

    // The first report always counts as a change (nothing was seen before).
    a->setServerAddress("http://10.0.0.5:8096");
    manager_->reachabilityChanged(*reachability);
    EXPECT_FALSE(a->serverAddress());
    EXPECT_EQ(manager_->maxBandwidth(), 600.0 * 1000000.0 * 0.7);

    // The same status again: only the bandwidth follows.
    a->setServerAddress("http://10.0.0.5:8096");
    manager_->reachabilityChanged(*reachability);
    EXPECT_EQ(a->serverAddress(), "http://10.0.0.5:8096");

    monitor->set(path(true, true));
    manager_->reachabilityChanged(*reachability);
    EXPECT_FALSE(a->serverAddress());
    EXPECT_EQ(manager_->maxBandwidth(), 70'000'000.0);
    EXPECT_EQ(BandwidthSource::currentMaxBandwidth(), 70'000'000.0);
    EXPECT_EQ(BandwidthSource::toBitRate(manager_->maxBandwidth()), 70'000'000);

    // An unknown cellular technology: the product overflows; the bit rate falls back.
    auto unknown = internet(monitor, std::make_shared<FixedRadioInfo>(std::nullopt));
    manager_->reachabilityChanged(*unknown);
    EXPECT_TRUE(std::isinf(manager_->maxBandwidth()));
    EXPECT_EQ(BandwidthSource::toBitRate(manager_->maxBandwidth()), 1'500'000);

    monitor->set(path(false));
    manager_->reachabilityChanged(*reachability);
    EXPECT_EQ(manager_->maxBandwidth(), 0.0);
}

TEST_F(ConnectionManagerTest, OnlyReachabilityMonitorsAreHeard) {
    manager_ = ConnectionManager::create();
    manager_->updateApiClients(std::vector<ServerInfo>{server("a", std::nullopt)});
    client("a")->setServerAddress("http://10.0.0.5:8096");
    NotificationCenter::defaultCenter().post(
        std::string(Reachability::kNetworkReachabilityChangedNotification), nullptr,
        std::string("not a monitor"));
    NotificationCenter::defaultCenter().post(
        std::string(Reachability::kNetworkReachabilityChangedNotification), nullptr,
        std::shared_ptr<Reachability>());
    EXPECT_EQ(client("a")->serverAddress(), "http://10.0.0.5:8096");
    EXPECT_EQ(manager_->maxBandwidth(), 1'500'000.0);
}

TEST_F(ConnectionManagerTest, RegistryIsSafeToReadWhileItChanges) {
    manager_ = ConnectionManager::create();
    auto monitor = std::make_shared<ManualNetworkMonitor>(path(true));
    auto reachability = internet(monitor, std::make_shared<FixedRadioInfo>(std::nullopt));
    std::atomic<bool> done{false};
    std::atomic<bool> shrank{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            std::size_t previous = 0;
            for (int rounds = 0; !done.load() || rounds < 100; ++rounds) {
                auto size = manager_->getApiClients().size();
                shrank = shrank || size < previous;  // clients are never removed
                previous = size;
                if (auto last = manager_->getLastUsedApiClient())
                    last->serverAddress();
                manager_->getApiClient("s7");
                manager_->maxBandwidth();
            }
        });
    }
    std::thread network([&] {
        for (int i = 0; i < 50; ++i) {
            monitor->set(path(i % 2 == 0, i % 3 == 0));
            manager_->reachabilityChanged(*reachability);
        }
    });
    for (int i = 0; i < 40; ++i)
        manager_->updateApiClients(
            std::vector<ServerInfo>{server("s" + std::to_string(i % 20), std::nullopt)});
    network.join();
    done = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(manager_->getApiClients().size(), 20u);
    EXPECT_FALSE(shrank.load());
}

// Reachability changes from dbusmock's NetworkManager, through a started notifier, reach the
// manager: connectivity full -> none -> full, then the primary connection Wi-Fi -> gsm (with
// oFono's LTE bearer on the same bus).
TEST_F(ConnectionManagerTest, NetworkManagerChangesReachTheManagerOncePerStatusChange) {
    if (!test::PrivateBus::dbusmockAvailable())
        GTEST_SKIP() << "python3-dbusmock is not installed (Debian's /usr/bin/python3)";
    std::string error;
    auto bus = test::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    ASSERT_TRUE(bus->startTemplate("networkmanager", "org.freedesktop.NetworkManager"));
    ASSERT_TRUE(bus->startTemplate("ofono", "org.ofono", R"({"Bearer": "lte"})"));
    auto call = [&](const char* path, const char* method,
                    const std::function<void(sdbus::MethodCall&)>& arguments) {
        DBusError failure;
        ASSERT_TRUE(bus->connection()->call("org.freedesktop.NetworkManager", path,
                                            "org.freedesktop.DBus.Mock", method, arguments, nullptr,
                                            &failure))
            << failure.message;
    };
    call("/org/freedesktop/NetworkManager", "AddProperty", [](sdbus::MethodCall& message) {
        message << std::string("org.freedesktop.NetworkManager")
                << std::string("PrimaryConnectionType")
                << sdbus::Variant(std::string("802-11-wireless"));
    });

    auto monitor = NetworkManagerMonitor::start(bus->connection());
    ASSERT_TRUE(monitor);
    auto reachability = internet(monitor, std::make_shared<ModemRadioInfo>(bus->connection()));
    manager_ = ConnectionManager::create();
    manager_->updateApiClients(
        std::vector<ServerInfo>{server("a", std::nullopt), server("b", std::nullopt)});
    int notifications = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(
        std::string(Reachability::kNetworkReachabilityChangedNotification), reachability.get(),
        nullptr, [&](const Notification&) { ++notifications; });
    ASSERT_TRUE(reachability->startNotifier());  // on the main queue

    auto setAddresses = [&] {
        for (const auto& c : manager_->getApiClients())
            c->setServerAddress("http://10.0.0.5:8096");
    };
    auto addressesCleared = [&] {
        for (const auto& c : manager_->getApiClients()) {
            if (c->serverAddress())
                return false;
        }
        return true;
    };
    auto connectivity = [&](std::uint32_t value) {
        call("/org/freedesktop", "SetConnectivity",
             [value](sdbus::MethodCall& message) { message << value; });
    };

    const std::pair<std::function<void()>, NetworkStatus> steps[] = {
        {[&] { connectivity(1); }, NotReachable},
        {[&] { connectivity(4); }, ReachableViaWiFi},
        {[&] {
             call("/org/freedesktop", "SetProperty", [](sdbus::MethodCall& message) {
                 message << std::string("/org/freedesktop/NetworkManager")
                         << std::string("org.freedesktop.NetworkManager")
                         << std::string("PrimaryConnectionType")
                         << sdbus::Variant(std::string("gsm"));
             });
         },
         ReachableViaWWAN},
    };
    int expected = 0;
    for (const auto& [change, status] : steps) {
        setAddresses();
        change();
        ++expected;
        ASSERT_TRUE(test::pumpMainQueueUntil([&] { return notifications == expected; }))
            << "no notification for step " << expected;
        EXPECT_TRUE(addressesCleared()) << "step " << expected;
        EXPECT_EQ(reachability->currentReachabilityStatus(), status);
        // Another report of the same status leaves addresses alone.
        setAddresses();
        manager_->reachabilityChanged(*reachability);
        EXPECT_FALSE(addressesCleared()) << "step " << expected;
    }
    EXPECT_EQ(notifications, 3);
    EXPECT_EQ(manager_->maxBandwidth(), 70'000'000.0);  // LTE: 100 Mbit/s x 0.7
    NotificationCenter::defaultCenter().removeObserver(token);
    reachability->stopNotifier();
}

}  // namespace
}  // namespace vk
