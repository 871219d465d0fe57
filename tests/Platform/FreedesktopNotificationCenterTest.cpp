// Notifications against python3-dbusmock's notification daemon on a private session bus (the
// daemon's name is unique on a bus, so each test brings its own bus).
#include "VornKit/Platform/Media/FreedesktopNotificationCenter.h"

#include <atomic>
#include <future>

#include "Support/DesktopServices.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

NotificationAuthorizationStatus settingsOf(UserNotificationCenter& center) {
    std::promise<NotificationAuthorizationStatus> status;
    center.notificationSettings([&](NotificationAuthorizationStatus s) { status.set_value(s); });
    return status.get_future().get();
}

NotificationError addAndWait(UserNotificationCenter& center, NotificationRequest request) {
    std::promise<NotificationError> done;
    center.add(std::move(request), [&](NotificationError e) { done.set_value(e); });
    return done.get_future().get();
}

TEST(FreedesktopNotificationCenter, ANewRequestReplacesThePreviousOneOfItsIdentifier) {
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.ready());
    MockNotificationDaemon daemon;
    ASSERT_TRUE(daemon.ready());
    auto center = FreedesktopNotificationCenter::make("VornKit Test", "vornkit-test");
    EXPECT_EQ(settingsOf(*center), NotificationAuthorizationStatus::Authorized);

    NotificationRequest first;
    first.identifier = "VORN_MUSIC";
    first.title = "Song <One>";
    first.subtitle = "Ella & Louis - Songs";
    first.attachments.push_back({"item1", "/tmp/item1.png"});
    first.delay = std::chrono::milliseconds(100);
    EXPECT_FALSE(addAndWait(*center, first));
    NotificationRequest second = first;
    second.title = "Song Two";
    second.subtitle = "Now Playing";
    second.attachments.clear();
    EXPECT_FALSE(addAndWait(*center, second));
    NotificationRequest other = second;
    other.identifier = "OTHER";
    EXPECT_FALSE(addAndWait(*center, other));

    const std::string log = daemon.log();
    // The first shows as id 1; the second replaces it; another identifier gets a new one.
    EXPECT_NE(log.find("Notify \"VornKit Test\" 0 \"\" \"Song <One>\" "
                       "\"Ella &amp; Louis - Songs\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("file:///tmp/item1.png"), std::string::npos) << log;
    EXPECT_NE(log.find("vornkit-test"), std::string::npos) << log;
    EXPECT_NE(log.find("Notify \"VornKit Test\" 1 \"\" \"Song Two\" \"Now Playing\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Notify \"VornKit Test\" 0 \"\" \"Song Two\""), std::string::npos) << log;
}

TEST(FreedesktopNotificationCenter, WithoutADaemonItIsDeniedAndAddFails) {
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.ready());
    auto center = FreedesktopNotificationCenter::make("VornKit Test");
    EXPECT_EQ(settingsOf(*center), NotificationAuthorizationStatus::Denied);
    std::promise<bool> granted;
    center->requestAuthorization([&](bool g, NotificationError) { granted.set_value(g); });
    EXPECT_FALSE(granted.get_future().get());
    NotificationRequest request;
    request.identifier = "VORN_MUSIC";
    request.title = "x";
    EXPECT_TRUE(addAndWait(*center, request));

    // A daemon that comes later is found (the centre reconnects).
    MockNotificationDaemon daemon;
    ASSERT_TRUE(daemon.ready());
    EXPECT_EQ(settingsOf(*center), NotificationAuthorizationStatus::Authorized);
    EXPECT_FALSE(addAndWait(*center, request));
}

}  // namespace
}  // namespace vk::test
