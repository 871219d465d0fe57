// The kernel backend in a network namespace of the test's own (root only): veth links up and
// down, addresses, default routes added and removed, a wwan* link carrying the default route.
#include "VornKit/Platform/Network/RtnetlinkMonitor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Support/TestSupport.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace ReachabilityFlags;

/// Moves the calling thread into a new, empty network namespace and back out when it goes.
class NetworkNamespace {
  public:
    /// Empty `reason` when entered.
    explicit NetworkNamespace(std::string& reason) {
        if (::geteuid() != 0) {
            reason = "making a network namespace (unshare -n) needs root";
            return;
        }
        previous_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (previous_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
            reason = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
            return;
        }
        entered_ = true;
    }
    ~NetworkNamespace() {
        if (entered_)
            ::setns(previous_, CLONE_NEWNET);
        if (previous_ >= 0)
            ::close(previous_);
    }

  private:
    int previous_ = -1;
    bool entered_ = false;
};

/// Runs `ip` in the calling thread's namespace (the child inherits it).
void ip(const std::string& arguments) {
    std::string command = "ip " + arguments + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::shared_ptr<NetworkReachabilityTarget> target(const char* address,
                                                  std::shared_ptr<NetworkMonitor> monitor) {
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &ipv4.sin_addr);
    return NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&ipv4),
                                                 std::move(monitor));
}

class RtnetlinkMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reason;
        namespace_ = std::make_unique<NetworkNamespace>(reason);
        if (!reason.empty()) {
            std::printf("rtnetlink cases skipped: %s\n", reason.c_str());
            GTEST_SKIP() << reason;
        }
        monitor_ = RtnetlinkMonitor::start();
        ASSERT_TRUE(monitor_);
        observer_ = monitor_->addObserver([this] { ++changes_; });
    }
    void TearDown() override {
        if (monitor_)
            monitor_->removeObserver(observer_);
        monitor_.reset();
        namespace_.reset();
    }
    bool waitFor(const std::function<bool(const NetworkPath&)>& predicate) {
        return test::pumpMainQueueUntil([&] { return predicate(monitor_->currentPath()); });
    }

    std::unique_ptr<NetworkNamespace> namespace_;
    std::shared_ptr<RtnetlinkMonitor> monitor_;
    std::uint64_t observer_ = 0;
    std::atomic<int> changes_{0};
};

TEST_F(RtnetlinkMonitorTest, DefaultRouteOnAnAddressedLinkThatIsUpMakesTheInternetReachable) {
    EXPECT_FALSE(monitor_->currentPath().reachable);
    EXPECT_EQ(monitor_->currentPath().detail, "no default route");

    ip("link add v0 type veth peer name v1");
    ip("link set v1 up");
    ip("link set v0 up");
    ip("addr add 10.9.0.2/24 dev v0");
    // The link is up with an address, but there is no default route yet.
    ASSERT_TRUE(test::pumpMainQueueUntil([&] { return changes_.load() > 0; }));
    EXPECT_FALSE(monitor_->currentPath().reachable);

    ip("route add default via 10.9.0.1 dev v0");
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.reachable; }));
    EXPECT_FALSE(monitor_->currentPath().cellular);
    EXPECT_EQ(monitor_->currentPath().detail, "default route via v0");

    // Address targets: on the link, this machine's own address, behind the gateway.
    EXPECT_EQ(target("10.9.0.7", monitor_)->flags(), Reachable | IsDirect);
    EXPECT_EQ(target("10.9.0.2", monitor_)->flags(), Reachable | IsLocalAddress | IsDirect);
    EXPECT_EQ(target("192.0.2.10", monitor_)->flags(), Reachable);

    ip("route del default");
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return !path.reachable; }));
    EXPECT_EQ(target("192.0.2.10", monitor_)->flags(), 0u);
    EXPECT_EQ(target("10.9.0.7", monitor_)->flags(), Reachable | IsDirect);

    ip("route add default via 10.9.0.1 dev v0");
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.reachable; }));
    ip("link set v0 down");  // the route goes with the link
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return !path.reachable; }));
}

TEST_F(RtnetlinkMonitorTest, AWwanLinkCarryingTheDefaultRouteIsCellular) {
    ip("link add wwan0 type veth peer name w1");
    ip("link set w1 up");
    ip("link set wwan0 up");
    ip("addr add 10.20.0.2/24 dev wwan0");
    ip("route add default via 10.20.0.1 dev wwan0");
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.reachable && path.cellular; }));
    EXPECT_EQ(target("192.0.2.10", monitor_)->flags(), Reachable | IsWWAN);

    // A Wi-Fi-like link with a better metric takes over.
    ip("link add v0 type veth peer name v1");
    ip("link set v1 up");
    ip("link set v0 up");
    ip("addr add 10.9.0.2/24 dev v0");
    ip("route del default via 10.20.0.1 dev wwan0");
    ip("route add default via 10.20.0.1 dev wwan0 metric 700");
    ip("route add default via 10.9.0.1 dev v0 metric 10");
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.reachable && !path.cellular; }));
}

TEST_F(RtnetlinkMonitorTest, ReachabilityNotifiesEachStatusChangeWithTheCellularSpeed) {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    auto reachability = Reachability::withTarget(
        NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&zero), monitor_),
        std::make_shared<FixedRadioInfo>(RadioAccessTechnology::LTE));
    std::vector<NetworkStatus> statuses;
    auto token = NotificationCenter::defaultCenter().addObserver(
        std::string(Reachability::kNetworkReachabilityChangedNotification), reachability.get(),
        nullptr, [&](const Notification&) {
            statuses.push_back(reachability->currentReachabilityStatus());
        });
    ASSERT_TRUE(reachability->startNotifier());  // main queue
    EXPECT_EQ(reachability->currentMaxDownlinkSpeed(), 0.0);

    ip("link add wwan0 type veth peer name w1");
    ip("link set w1 up");
    ip("link set wwan0 up");
    ip("addr add 10.20.0.2/24 dev wwan0");
    ip("route add default via 10.20.0.1 dev wwan0");
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return statuses.size() == 1; }));
    EXPECT_EQ(reachability->currentMaxDownlinkSpeed(), 100.0);
    ip("link set wwan0 down");
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return statuses.size() == 2; }));
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(statuses, (std::vector<NetworkStatus>{ReachableViaWWAN, NotReachable}));
}

}  // namespace
}  // namespace vk
