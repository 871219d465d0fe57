#include "VornKit/Net/Reachability.h"

#include <netinet/in.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace ReachabilityFlags;

constexpr double kLargest = std::numeric_limits<double>::max();

NetworkPath wifi() {
    NetworkPath path;
    path.reachable = true;
    return path;
}

NetworkPath cellular() {
    NetworkPath path;
    path.reachable = true;
    path.cellular = true;
    return path;
}

std::shared_ptr<Reachability> internet(std::shared_ptr<NetworkMonitor> monitor,
                                       std::optional<std::string> radio = std::nullopt) {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return Reachability::withTarget(
        NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&zero), monitor),
        std::make_shared<FixedRadioInfo>(std::move(radio)));
}

/// Records the reachability notifications posted while it lives.
class NotificationRecorder {
  public:
    NotificationRecorder() {
        token_ = NotificationCenter::defaultCenter().addObserver(
            std::string(Reachability::kNetworkReachabilityChangedNotification), nullptr, nullptr,
            [this](const Notification& notification) {
                std::lock_guard lock(mutex_);
                auto* object = std::any_cast<std::shared_ptr<Reachability>>(&notification.object);
                objects_.push_back(object ? object->get() : nullptr);
                queues_.push_back(DispatchQueue::current());
                onMainThread_.push_back(DispatchQueue::main()->isCurrent());
            });
    }
    ~NotificationRecorder() { NotificationCenter::defaultCenter().removeObserver(token_); }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return objects_.size();
    }
    std::vector<const Reachability*> objects() const {
        std::lock_guard lock(mutex_);
        return objects_;
    }
    std::vector<std::shared_ptr<DispatchQueue>> queues() const {
        std::lock_guard lock(mutex_);
        return queues_;
    }

  private:
    mutable std::mutex mutex_;
    ObserverToken token_ = 0;
    std::vector<const Reachability*> objects_;
    std::vector<std::shared_ptr<DispatchQueue>> queues_;
    std::vector<bool> onMainThread_;
};

TEST(Reachability, StatusRulesForFlags) {
    auto reachability = internet(std::make_shared<ManualNetworkMonitor>());
    EXPECT_EQ(reachability->networkStatusForFlags(0), NotReachable);
    EXPECT_EQ(reachability->networkStatusForFlags(IsWWAN), NotReachable);
    EXPECT_EQ(reachability->networkStatusForFlags(Reachable), ReachableViaWiFi);
    EXPECT_EQ(reachability->networkStatusForFlags(Reachable | ConnectionRequired), NotReachable);
    EXPECT_EQ(
        reachability->networkStatusForFlags(Reachable | ConnectionRequired | ConnectionOnTraffic),
        ReachableViaWiFi);
    EXPECT_EQ(
        reachability->networkStatusForFlags(Reachable | ConnectionRequired | ConnectionOnDemand),
        ReachableViaWiFi);
    EXPECT_EQ(reachability->networkStatusForFlags(Reachable | ConnectionRequired |
                                                  ConnectionOnTraffic | InterventionRequired),
              NotReachable);
    // On demand with intervention but no connection required still counts.
    EXPECT_EQ(
        reachability->networkStatusForFlags(Reachable | ConnectionOnDemand | InterventionRequired),
        ReachableViaWiFi);
    EXPECT_EQ(reachability->networkStatusForFlags(Reachable | IsWWAN | ConnectionRequired |
                                                  InterventionRequired | TransientConnection),
              ReachableViaWWAN);
}

TEST(Reachability, FlagLineNamesEveryFlagInItsPlace) {
    test::ScopedLogCapture log;
    auto reachability = internet(std::make_shared<ManualNetworkMonitor>());
    reachability->networkStatusForFlags(Reachable);
    reachability->networkStatusForFlags(
        IsWWAN | Reachable | TransientConnection | ConnectionRequired | ConnectionOnTraffic |
        InterventionRequired | ConnectionOnDemand | IsLocalAddress | IsDirect);
    reachability->networkStatusForFlags(ConnectionOnDemand | IsDirect);
    auto records = log->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, LogKind::Console);
    EXPECT_EQ(records[0].category, "Reachability");
    EXPECT_EQ(records[0].message, "Reachability Flag Status: -R ------- networkStatusForFlags\n");
    EXPECT_EQ(records[1].message, "Reachability Flag Status: WR tcCiDld networkStatusForFlags\n");
    EXPECT_EQ(records[2].message, "Reachability Flag Status: -- ----D-d networkStatusForFlags\n");
}

TEST(Reachability, InternetFlagsFollowTheNetworkPath) {
    auto monitor = std::make_shared<ManualNetworkMonitor>();
    auto reachability = internet(monitor);
    EXPECT_EQ(reachability->target()->flags(), 0u);
    EXPECT_EQ(reachability->currentReachabilityStatus(), NotReachable);

    monitor->set(wifi());
    EXPECT_EQ(reachability->target()->flags(), Reachable);
    EXPECT_EQ(reachability->currentReachabilityStatus(), ReachableViaWiFi);
    EXPECT_FALSE(reachability->connectionRequired());

    NetworkPath portal = wifi();
    portal.connectionRequired = true;
    portal.interventionRequired = true;
    monitor->set(portal);
    EXPECT_EQ(reachability->currentReachabilityStatus(), NotReachable);
    EXPECT_TRUE(reachability->connectionRequired());

    NetworkPath connecting;
    connecting.connectionRequired = true;
    connecting.transient = true;
    monitor->set(connecting);
    EXPECT_EQ(reachability->target()->flags(), ConnectionRequired | TransientConnection);

    monitor->set(cellular());
    EXPECT_EQ(reachability->target()->flags(), Reachable | IsWWAN);
    EXPECT_EQ(reachability->currentReachabilityStatus(), ReachableViaWWAN);
}

TEST(Reachability, DownlinkSpeedByStatusAndRadioTechnology) {
    auto monitor = std::make_shared<ManualNetworkMonitor>();
    EXPECT_EQ(internet(monitor)->currentMaxDownlinkSpeed(), 0.0);
    monitor->set(wifi());
    EXPECT_EQ(internet(monitor)->currentMaxDownlinkSpeed(), 600.0);

    monitor->set(cellular());
    const std::pair<const char*, double> table[] = {
        {RadioAccessTechnology::CDMA1x, 0.153},     {RadioAccessTechnology::CDMAEVDORev0, 2.46},
        {RadioAccessTechnology::CDMAEVDORevA, 3.1}, {RadioAccessTechnology::CDMAEVDORevB, 14.7},
        {RadioAccessTechnology::Edge, 0.384},       {RadioAccessTechnology::GPRS, 0.237},
        {RadioAccessTechnology::HSDPA, 14.3},       {RadioAccessTechnology::HSUPA, 14.4},
        {RadioAccessTechnology::LTE, 100.0},        {RadioAccessTechnology::WCDMA, 2.0},
        {RadioAccessTechnology::eHRPD, 21.0},       {RadioAccessTechnology::NR, kLargest},
    };
    for (const auto& [technology, speed] : table)
        EXPECT_EQ(internet(monitor, technology)->currentMaxDownlinkSpeed(), speed) << technology;

    test::ScopedLogCapture log;
    EXPECT_EQ(internet(monitor, std::nullopt)->currentMaxDownlinkSpeed(), kLargest);
    EXPECT_TRUE(log->contains("Current Radio Access Technology: (null)"));
    log->clear();
    internet(monitor, RadioAccessTechnology::LTE)->currentMaxDownlinkSpeed();
    EXPECT_EQ(log->count("Current Radio Access Technology: CTRadioAccessTechnologyLTE"), 1u);
}

TEST(Reachability, NotifiesOnTheQueueThatStartedItOncePerChange) {
    auto monitor = std::make_shared<ManualNetworkMonitor>(wifi());
    auto reachability = internet(monitor);
    auto queue = DispatchQueue::makeSerial("reachability-test");
    NotificationRecorder recorder;
    bool started = false;
    queue->sync([&] { started = reachability->startNotifier(); });
    ASSERT_TRUE(started);

    // Each change is looked at on the queue; wait for that look before the next change.
    for (const auto& path : {wifi(), NetworkPath{}, wifi(), wifi(), cellular()}) {
        monitor->set(path);
        queue->sync([] {});
    }
    ASSERT_EQ(recorder.count(), 3u);  // the repeated Wi-Fi path changed no flags
    for (auto* object : recorder.objects())
        EXPECT_EQ(object, reachability.get());
    for (const auto& on : recorder.queues())
        EXPECT_EQ(on, queue);

    reachability->stopNotifier();
    monitor->set(wifi());
    queue->sync([] {});
    EXPECT_EQ(recorder.count(), 3u);
}

TEST(Reachability, AChangeWhileTheCallbackIsScheduledIsNeverLost) {
    // A change racing schedule() is either in the starting flags or reported; either way the
    // change back afterwards is reported.
    auto queue = DispatchQueue::makeSerial("reachability-race");
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    for (int round = 0; round < 300; ++round) {
        auto monitor = std::make_shared<ManualNetworkMonitor>(wifi());
        auto target =
            NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&zero), monitor);
        std::vector<std::uint32_t> seen;  // touched on `queue` only
        target->setCallback([&seen](std::uint32_t flags) { seen.push_back(flags); });
        std::atomic<bool> go{false};
        std::thread changer([&] {
            while (!go.load())
                std::this_thread::yield();
            monitor->set(NetworkPath{});
        });
        bool scheduled = false;
        queue->sync([&] {
            go = true;
            scheduled = target->schedule(queue);
        });
        changer.join();
        ASSERT_TRUE(scheduled);
        queue->sync([] {});
        monitor->set(wifi());
        queue->sync([] {});
        ASSERT_FALSE(seen.empty()) << "round " << round;
        EXPECT_EQ(seen.back(), Reachable) << "round " << round;
        target->unschedule();
    }
}

TEST(Reachability, StartedOnTheMainThreadItNotifiesOnTheMainQueue) {
    auto monitor = std::make_shared<ManualNetworkMonitor>(wifi());
    auto reachability = internet(monitor);
    NotificationRecorder recorder;
    ASSERT_TRUE(reachability->startNotifier());
    monitor->set(NetworkPath{});
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return recorder.count() == 1; }));
    EXPECT_EQ(recorder.queues().front(), DispatchQueue::main());
}

TEST(Reachability, AThreadWithoutAQueueCannotStartANotifier) {
    auto reachability = internet(std::make_shared<ManualNetworkMonitor>());
    bool started = true;
    std::thread([&] { started = reachability->startNotifier(); }).join();
    EXPECT_FALSE(started);
}

TEST(Reachability, DroppingTheMonitorStopsItsNotifications) {
    auto monitor = std::make_shared<ManualNetworkMonitor>(wifi());
    auto queue = DispatchQueue::makeSerial("reachability-drop");
    NotificationRecorder recorder;
    {
        auto reachability = internet(monitor);
        queue->sync([&] { EXPECT_TRUE(reachability->startNotifier()); });
    }
    monitor->set(NetworkPath{});
    queue->sync([] {});
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(Reachability, AddressAndHostTargets) {
    auto monitor = std::make_shared<ManualNetworkMonitor>();
    for (const char* host : {"127.0.0.1", "localhost", "LocalHost", "[::1]", "::1"}) {
        auto target = NetworkReachabilityTarget::forHostName(host, monitor);
        ASSERT_TRUE(target) << host;
        auto flags = target->flags();
        ASSERT_TRUE(flags) << host;
        EXPECT_EQ(*flags & (Reachable | IsLocalAddress | IsDirect),
                  Reachable | IsLocalAddress | IsDirect)
            << host;
        EXPECT_FALSE(*flags & IsWWAN) << host;
    }
    // A name is not looked up: it follows the way to the internet.
    auto named = NetworkReachabilityTarget::forHostName("media.example.invalid", monitor);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->flags(), 0u);
    monitor->set(cellular());
    EXPECT_EQ(named->flags(), Reachable | IsWWAN);

    EXPECT_FALSE(NetworkReachabilityTarget::forHostName("", monitor));
    EXPECT_FALSE(Reachability::reachabilityWithHostName(""));
    sockaddr unix{};
    unix.sa_family = AF_UNIX;
    EXPECT_FALSE(NetworkReachabilityTarget::forAddress(&unix, monitor));
}

}  // namespace
}  // namespace vk
