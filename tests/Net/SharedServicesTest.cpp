// What the framework picks on its own from the buses `./vk test` starts: dbusmock's NetworkManager
// and oFono on the system-style bus. These tests only read the shared services; tests that change a
// service's state run their own copy. (The keychain's choice among gnome-keyring states is tested
// with keyrings of the tests' own, in VornctlIdentityTest.)
#include <cstdlib>

#include "Support/TestSupport.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "VornKit/Platform/Network/RadioAccessTechnology.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

bool systemBusHas(const char* name) {
    auto bus = DBusConnection::system();
    return bus && bus->nameHasOwner(name);
}

TEST(SharedServices, NetworkManagerOnTheSystemBusIsTheNetworkMonitor) {
    if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS") || !systemBusHas("org.freedesktop.NetworkManager"))
        GTEST_SKIP() << "no NetworkManager on the system bus (./vk test starts dbusmock's)";
    auto monitor = NetworkMonitor::shared();
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->backendName(), "NetworkManager");
    EXPECT_TRUE(monitor->currentPath().reachable);
    auto reachability = Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reachability);
    EXPECT_EQ(reachability->currentReachabilityStatus(), ReachableViaWiFi);
    EXPECT_EQ(reachability->currentMaxDownlinkSpeed(), 600.0);
}

TEST(SharedServices, OfonoGivesTheRadioTechnology) {
    if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS") || !systemBusHas("org.ofono"))
        GTEST_SKIP() << "no oFono on the system bus (./vk test starts dbusmock's)";
    // dbusmock's modem carries data over GPRS until told otherwise.
    EXPECT_EQ(RadioInfo::shared()->currentRadioAccessTechnology(), RadioAccessTechnology::GPRS);
}

}  // namespace
}  // namespace vk
