// DBusConnection against a private bus with a dbusmock object on it.
#include "VornKit/Platform/Bus/DBusConnection.h"

#include <sdbus-c++/sdbus-c++.h>
#include <atomic>
#include <chrono>
#include <thread>

#include "Support/PrivateBus.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

constexpr const char* kName = "org.example.Mock";
constexpr const char* kPath = "/org/example/Mock";
constexpr const char* kInterface = "org.example.Mock";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";

class DBusConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::PrivateBus::dbusmockAvailable())
            GTEST_SKIP() << "python3-dbusmock is not installed (Debian's /usr/bin/python3)";
        std::string error;
        bus_ = test::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        ASSERT_TRUE(bus_->startMock(kName, kPath, kInterface));
        connection_ = bus_->connection();
        ASSERT_TRUE(connection_);
    }

    /// Adds a property to the mock object (dbusmock's AddProperty).
    void addProperty(const std::string& name, const sdbus::Variant& value) {
        ASSERT_TRUE(connection_->call(
            kName, kPath, kMockInterface, "AddProperty",
            [&](sdbus::MethodCall& call) { call << std::string(kInterface) << name << value; },
            nullptr));
    }

    std::unique_ptr<test::PrivateBus> bus_;
    std::shared_ptr<DBusConnection> connection_;
};

TEST_F(DBusConnectionTest, ReadsPropertiesAsPlainValues) {
    addProperty("Count", sdbus::Variant(std::uint32_t{7}));
    addProperty("Name", sdbus::Variant(std::string("seven")));
    addProperty("Paths", sdbus::Variant(std::vector<sdbus::ObjectPath>{sdbus::ObjectPath("/a")}));
    addProperty("Big", sdbus::Variant(std::uint64_t{1} << 63));
    addProperty("Nested", sdbus::Variant(std::map<std::string, std::int32_t>{{"x", 1}}));

    auto all = connection_->properties(kName, kPath, kInterface);
    ASSERT_TRUE(all);
    EXPECT_EQ(dbusProperty<std::int64_t>(*all, "Count"), 7);
    EXPECT_EQ(dbusProperty<std::string>(*all, "Name"), "seven");
    EXPECT_EQ(dbusProperty<std::vector<std::string>>(*all, "Paths"),
              std::vector<std::string>{"/a"});
    EXPECT_EQ(dbusProperty<std::uint64_t>(*all, "Big"), std::uint64_t{1} << 63);
    // A kind the plain form does not model reads as nothing, not as a wrong value.
    ASSERT_TRUE(all->count("Nested"));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(all->at("Nested")));
    EXPECT_FALSE(dbusProperty<std::int64_t>(*all, "Name"));

    auto one = connection_->property(kName, kPath, kInterface, "Name");
    ASSERT_TRUE(one);
    EXPECT_EQ(dbusValueAs<std::string>(*one), "seven");
}

TEST_F(DBusConnectionTest, FailuresComeBackAsErrorsWithTheBusNames) {
    DBusError error;
    EXPECT_FALSE(connection_->property(kName, kPath, kInterface, "Missing", &error));
    EXPECT_FALSE(error.name.empty());

    error = {};
    EXPECT_FALSE(connection_->properties("org.example.Nobody", "/", kInterface, &error));
    EXPECT_EQ(error.name, "org.freedesktop.DBus.Error.ServiceUnknown");

    // A reply that does not read as the caller expects is a failure too.
    error = {};
    EXPECT_FALSE(connection_->call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", nullptr,
        [](sdbus::MethodReply& reply) {
            std::uint32_t wrong;
            reply >> wrong;
        },
        &error));
    EXPECT_FALSE(error.name.empty());

    EXPECT_TRUE(connection_->nameHasOwner(kName));
    EXPECT_FALSE(connection_->nameHasOwner("org.example.Nobody"));
    EXPECT_FALSE(connection_->nameIsActivatable("org.example.Nobody"));
}

TEST_F(DBusConnectionTest, SignalsReachSubscribersOnTheBusThreadUntilReleased) {
    addProperty("Level", sdbus::Variant(std::int32_t{1}));
    std::atomic<int> received{0};
    std::atomic<bool> onBusThread{false};
    auto emitChange = [&](std::int32_t level) {
        // The standard Set emits org.freedesktop.DBus.Properties.PropertiesChanged.
        ASSERT_TRUE(connection_->call(
            kName, kPath, "org.freedesktop.DBus.Properties", "Set",
            [&](sdbus::MethodCall& call) {
                call << std::string(kInterface) << std::string("Level") << sdbus::Variant(level);
            },
            nullptr));
    };
    auto subscription = connection_->subscribe(
        std::string("type='signal',sender='") + kName + "',path='" + kPath +
            "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
        [&](sdbus::Message& message) {
            std::string interface;
            message >> interface;
            auto changed = DBusConnection::readProperties(message);
            // A handler may call on the same connection: it runs inline.
            auto level = connection_->property(kName, kPath, kInterface, "Level");
            if (interface == kInterface && level &&
                dbusValueAs<std::int64_t>(*level) == dbusProperty<std::int64_t>(changed, "Level"))
                ++received;
            onBusThread = connection_->isBusThread();
        });
    ASSERT_TRUE(subscription);
    emitChange(2);
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return received.load() == 1; }));
    EXPECT_TRUE(onBusThread.load());

    subscription.reset();
    emitChange(3);
    // A later subscription proves the bus delivered the signal; the released one stayed quiet.
    std::atomic<int> later{0};
    auto probe = connection_->subscribe(std::string("type='signal',sender='") + kName + "'",
                                        [&](sdbus::Message&) { ++later; });
    emitChange(4);
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return later.load() >= 1; }));
    EXPECT_EQ(received.load(), 1);
}

TEST(DBusConnection, AnAddressWithoutABusGivesNoConnection) {
    std::string error;
    auto connection = DBusConnection::open("unix:path=/nonexistent/vornkit-test-bus", &error);
    EXPECT_FALSE(connection);
    EXPECT_FALSE(error.empty());
}

TEST_F(DBusConnectionTest, ABusThatGoesAwayClosesTheConnection) {
    bus_.reset();  // stops the daemon
    EXPECT_TRUE(
        test::pumpMainQueueUntil([&] { return !connection_->isOpen(); }, std::chrono::seconds(5)));
    DBusError error;
    EXPECT_FALSE(connection_->properties(kName, kPath, kInterface, &error));
}

}  // namespace
}  // namespace vk
