// The network monitors and the radio technology against dbusmock's NetworkManager, oFono and a
// ModemManager mock, each on a private bus of the test's own.
#include <sdbus-c++/sdbus-c++.h>
#include <atomic>

#include "Support/PrivateBus.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Network/NetworkManagerMonitor.h"
#include "VornKit/Platform/Network/RadioAccessTechnology.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

constexpr const char* kNM = "org.freedesktop.NetworkManager";
constexpr const char* kNMPath = "/org/freedesktop/NetworkManager";
/// dbusmock's template methods (SetConnectivity, SetProperty, AddObject) live on its main object.
constexpr const char* kNMMockPath = "/org/freedesktop";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

using MockProperties = std::map<std::string, sdbus::Variant>;
using MockMethods = std::vector<sdbus::Struct<std::string, std::string, std::string, std::string>>;

class MockedBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::PrivateBus::dbusmockAvailable())
            GTEST_SKIP() << "python3-dbusmock is not installed (Debian's /usr/bin/python3)";
        std::string error;
        bus_ = test::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
    }
    std::shared_ptr<DBusConnection> bus() { return bus_->connection(); }

    void mockCall(const std::string& name, const std::string& path, const std::string& method,
                  const std::function<void(sdbus::MethodCall&)>& arguments,
                  const std::string& interface = kMock) {
        DBusError error;
        ASSERT_TRUE(bus()->call(name, path, interface, method, arguments, nullptr, &error))
            << method << ": " << error.name << " " << error.message;
    }
    /// Adds an object through dbusmock's main object at `mockPath`.
    void addObject(const std::string& name, const std::string& mockPath, const std::string& path,
                   const std::string& interface, const MockProperties& properties) {
        mockCall(name, mockPath, "AddObject", [&](sdbus::MethodCall& call) {
            call << sdbus::ObjectPath(path) << interface << properties << MockMethods{};
        });
    }

    std::unique_ptr<test::PrivateBus> bus_;
};

class NetworkManagerMonitorTest : public MockedBus {
  protected:
    void SetUp() override {
        MockedBus::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(bus_->startTemplate("networkmanager", kNM));
        monitor_ = NetworkManagerMonitor::start(bus());
        ASSERT_TRUE(monitor_);
        observer_ = monitor_->addObserver([this] { ++changes_; });
    }
    void TearDown() override {
        if (monitor_)
            monitor_->removeObserver(observer_);
    }
    void setManagerProperty(const std::string& name, const sdbus::Variant& value) {
        mockCall(kNM, kNMMockPath, "SetProperty", [&](sdbus::MethodCall& call) {
            call << std::string(kNMPath) << std::string(kNM) << name << value;
        });
    }
    void addManagerProperty(const std::string& name, const sdbus::Variant& value) {
        mockCall(kNM, kNMPath, "AddProperty",
                 [&](sdbus::MethodCall& call) { call << std::string(kNM) << name << value; });
    }
    /// Waits until the monitor's path satisfies `predicate`.
    bool waitFor(const std::function<bool(const NetworkPath&)>& predicate) {
        return test::pumpMainQueueUntil([&] { return predicate(monitor_->currentPath()); });
    }

    std::shared_ptr<NetworkManagerMonitor> monitor_;
    std::uint64_t observer_ = 0;
    std::atomic<int> changes_{0};
};

TEST_F(MockedBus, NoNetworkManagerOnTheBusGivesNoMonitor) {
    EXPECT_FALSE(NetworkManagerMonitor::start(bus()));
}

TEST(NetworkManagerMapping, ConnectivityStateAndPrimaryType) {
    auto full = NetworkManagerMonitor::pathFor(4, 70, "802-11-wireless");
    EXPECT_TRUE(full.reachable);
    EXPECT_FALSE(full.cellular || full.connectionRequired || full.transient);
    EXPECT_EQ(full.detail, "connectivity full, state 70, primary 802-11-wireless");
    EXPECT_TRUE(NetworkManagerMonitor::pathFor(3, 60, "802-3-ethernet").reachable);
    EXPECT_FALSE(NetworkManagerMonitor::pathFor(1, 20, "").reachable);

    auto portal = NetworkManagerMonitor::pathFor(2, 60, "802-11-wireless");
    EXPECT_TRUE(portal.reachable && portal.connectionRequired && portal.interventionRequired);

    EXPECT_TRUE(NetworkManagerMonitor::pathFor(0, 70, "").reachable);
    EXPECT_FALSE(NetworkManagerMonitor::pathFor(0, 50, "").reachable);  // local only
    auto connecting = NetworkManagerMonitor::pathFor(1, 40, "");
    EXPECT_TRUE(connecting.connectionRequired && connecting.transient && !connecting.reachable);

    EXPECT_TRUE(NetworkManagerMonitor::pathFor(4, 70, "gsm").cellular);
    EXPECT_TRUE(NetworkManagerMonitor::pathFor(4, 70, "cdma").cellular);
    EXPECT_FALSE(NetworkManagerMonitor::pathFor(4, 70, "bluetooth").cellular);
}

TEST_F(NetworkManagerMonitorTest, FollowsConnectivityAndThePrimaryConnectionType) {
    EXPECT_TRUE(monitor_->currentPath().reachable);
    EXPECT_EQ(monitor_->backendName(), "NetworkManager");

    addManagerProperty("PrimaryConnectionType", sdbus::Variant(std::string("802-11-wireless")));
    mockCall(kNM, kNMMockPath, "SetConnectivity",
             [](sdbus::MethodCall& call) { call << std::uint32_t{1}; });
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return !path.reachable; }));
    EXPECT_GE(changes_.load(), 1);

    mockCall(kNM, kNMMockPath, "SetConnectivity",
             [](sdbus::MethodCall& call) { call << std::uint32_t{4}; });
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.reachable; }));
    EXPECT_FALSE(monitor_->currentPath().cellular);

    setManagerProperty("PrimaryConnectionType", sdbus::Variant(std::string("gsm")));
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.cellular; }));
}

TEST_F(NetworkManagerMonitorTest, PrimaryConnectionObjectGivesTypeAndCellularLinks) {
    addObject(kNM, kNMMockPath, "/org/freedesktop/NetworkManager/Devices/modem0",
              "org.freedesktop.NetworkManager.Device",
              {{"IpInterface", sdbus::Variant(std::string("wwp0s20u4i6"))},
               {"Interface", sdbus::Variant(std::string("cdc-wdm0"))}});
    addObject(kNM, kNMMockPath, "/org/freedesktop/NetworkManager/ActiveConnection/7",
              "org.freedesktop.NetworkManager.Connection.Active",
              {{"Type", sdbus::Variant(std::string("gsm"))},
               {"Devices", sdbus::Variant(std::vector<sdbus::ObjectPath>{sdbus::ObjectPath(
                               "/org/freedesktop/NetworkManager/Devices/modem0")})}});
    addManagerProperty("PrimaryConnection", sdbus::Variant(sdbus::ObjectPath("/")));
    setManagerProperty(
        "PrimaryConnection",
        sdbus::Variant(sdbus::ObjectPath("/org/freedesktop/NetworkManager/ActiveConnection/7")));
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return path.cellular; }));
    EXPECT_TRUE(monitor_->isCellularInterface("wwp0s20u4i6"));
    EXPECT_TRUE(monitor_->isCellularInterface("cdc-wdm0"));
    EXPECT_TRUE(monitor_->isCellularInterface("wwan0"));
    EXPECT_FALSE(monitor_->isCellularInterface("wlan0"));
}

TEST_F(NetworkManagerMonitorTest, ManagerLeavingTheBusMakesThePathUnreachable) {
    ASSERT_TRUE(monitor_->currentPath().reachable);
    bus_->stopChildren();  // NetworkManager goes, the bus stays
    ASSERT_TRUE(waitFor([](const NetworkPath& path) { return !path.reachable; }));
    EXPECT_EQ(monitor_->currentPath().detail, "NetworkManager is not running");
}

TEST(RadioAccessTechnologyMapping, ModemManagerBitsAndOfonoNames) {
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 14), RadioAccessTechnology::LTE);
    EXPECT_EQ(ModemRadioInfo::fromModemManager((1u << 14) | (1u << 5)), RadioAccessTechnology::LTE);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 6), RadioAccessTechnology::HSDPA);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 7), RadioAccessTechnology::HSUPA);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 5), RadioAccessTechnology::WCDMA);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 4), RadioAccessTechnology::Edge);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 3), RadioAccessTechnology::GPRS);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 10), RadioAccessTechnology::CDMA1x);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 12), RadioAccessTechnology::CDMAEVDORevA);
    EXPECT_EQ(ModemRadioInfo::fromModemManager(1u << 15), RadioAccessTechnology::NR);
    EXPECT_FALSE(ModemRadioInfo::fromModemManager(0));
    EXPECT_FALSE(ModemRadioInfo::fromModemManager(1));  // POTS: no data

    EXPECT_EQ(ModemRadioInfo::fromOfono("lte", "gsm"), RadioAccessTechnology::LTE);
    EXPECT_EQ(ModemRadioInfo::fromOfono("hspa", "umts"), RadioAccessTechnology::HSDPA);
    EXPECT_EQ(ModemRadioInfo::fromOfono("none", "umts"), RadioAccessTechnology::WCDMA);
    EXPECT_EQ(ModemRadioInfo::fromOfono("", "edge"), RadioAccessTechnology::Edge);
    EXPECT_FALSE(ModemRadioInfo::fromOfono("none", "satellite"));
}

TEST_F(MockedBus, RadioTechnologyFromOfonoThenModemManager) {
    ModemRadioInfo radio(bus());
    EXPECT_FALSE(radio.currentRadioAccessTechnology());  // no modem service at all

    ASSERT_TRUE(bus_->startTemplate("ofono", "org.ofono"));
    EXPECT_EQ(radio.currentRadioAccessTechnology(), RadioAccessTechnology::GPRS);  // bearer gprs
    mockCall(
        "org.ofono", "/ril_0", "SetProperty",
        [](sdbus::MethodCall& call) {
            call << std::string("Bearer") << sdbus::Variant(std::string("lte"));
        },
        "org.ofono.ConnectionManager");
    EXPECT_EQ(radio.currentRadioAccessTechnology(), RadioAccessTechnology::LTE);

    // ModemManager, when it has a modem, is asked first.
    ASSERT_TRUE(bus_->startMock("org.freedesktop.ModemManager1", "/org/freedesktop/ModemManager1",
                                "org.freedesktop.ModemManager1", true));
    EXPECT_EQ(radio.currentRadioAccessTechnology(), RadioAccessTechnology::LTE);  // still oFono
    addObject("org.freedesktop.ModemManager1", "/org/freedesktop/ModemManager1",
              "/org/freedesktop/ModemManager1/Modem/0", "org.freedesktop.ModemManager1.Modem",
              {{"AccessTechnologies", sdbus::Variant(std::uint32_t{1u << 6})},
               {"State", sdbus::Variant(std::int32_t{11})}});
    EXPECT_EQ(radio.currentRadioAccessTechnology(), RadioAccessTechnology::HSDPA);
}

}  // namespace
}  // namespace vk
