// The watch link end to end: the application side (a listening socket session with the
// WCSessionDelegater and a reply delegate) and a companion (a connecting session sending with
// WCCommands) in one process, over a real Unix socket.
#include <atomic>
#include <condition_variable>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Platform/Watch/SocketWatchSession.h"
#include "VornKit/Watch/WCCommands.h"
#include "VornKit/Watch/WCSessionDelegater.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace std::chrono_literals;
using Role = WatchSessionConfiguration::Role;

// Hands out the stored credentials, as the application does.
class CredentialsAnswerer : public WCMessageReplyDelegate {
  public:
    void didReceiveMessage(const WCMessage& message,
                           std::function<void(std::optional<WCMessage>)> reply) override {
        if (message.command != Command::getCredentials) {
            reply(std::nullopt);
            return;
        }
        ServerInfo server;
        server.Id = "srv-1";
        server.Name = "Living room";
        server.AccessToken = "secret";
        NativeCredentials credentials;
        credentials.Servers.push_back(server);
        reply(WCMessage(Command::updateCredentials, WCCredentialsData(credentials)));
    }
};

// The companion's delegate: waits for activation and reachability.
class CompanionDelegate : public WatchSessionDelegate {
  public:
    void activationDidComplete(WatchSession&, WatchActivationState,
                               const std::optional<WatchSessionError>&) override {
        notify();
    }
    void sessionReachabilityDidChange(WatchSession&) override { notify(); }
    bool waitUntil(const std::function<bool()>& predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, predicate);
    }

  private:
    void notify() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

TEST(WatchLink, TheCompanionAsksForCredentialsAndGetsThemOverTheSocket) {
    auto dir = test::makeTempDir("watch-link");
    WatchSessionConfiguration phoneConfig;
    phoneConfig.role = Role::listener;
    phoneConfig.socketPath = dir / "watch.sock";
    phoneConfig.stateDirectory = dir / "phone";
    WatchSessionConfiguration watchConfig = phoneConfig;
    watchConfig.role = Role::connector;
    watchConfig.stateDirectory = dir / "watch";

    auto answerer = std::make_shared<CredentialsAnswerer>();
    auto delegater = std::make_shared<WCSessionDelegater>(answerer);
    auto phone = SocketWatchSession::make(phoneConfig);
    phone->setDelegate(delegater);
    phone->activate();

    auto companionDelegate = std::make_shared<CompanionDelegate>();
    auto watch = SocketWatchSession::make(watchConfig);
    watch->setDelegate(companionDelegate);
    watch->activate();
    ASSERT_TRUE(companionDelegate->waitUntil([&] { return watch->isReachable(); }));

    std::vector<Notification> announced;
    auto token = NotificationCenter::defaultCenter().addObserver(
        std::string(WCNotificationName::WCMessageRecieved), nullptr, DispatchQueue::main(),
        [&](const Notification& n) { announced.push_back(n); });

    WCCommands commands(watch);
    std::mutex mutex;
    std::optional<std::optional<WCMessage>> reply;
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials),
                                   [&](std::optional<WCMessage> m) {
                                       std::lock_guard lock(mutex);
                                       reply = std::move(m);
                                   }),
              std::nullopt);
    ASSERT_TRUE(test::pumpMainQueueUntil([&] {
        std::lock_guard lock(mutex);
        return reply.has_value();
    }));
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(*reply);
        const WCMessage& answer = **reply;
        EXPECT_EQ(answer.command, Command::updateCredentials);
        ASSERT_TRUE(answer.credentialsData);
        ASSERT_EQ(answer.credentialsData->credentials.Servers.size(), 1u);
        EXPECT_EQ(answer.credentialsData->credentials.Servers[0].AccessToken, "secret");
    }

    // A player command without reply and a queued state update arrive as notifications, with
    // their payloads and timestamps intact.
    WCMessage next(Command::sendPlayerCommand, std::nullopt,
                   WCPlaybackData(PlayerCommandWrapper(PlayerCommand::playAtIndex,
                                                       PlayerCommandArg::int_(4))));
    ASSERT_EQ(commands.sendMessage(next), std::nullopt);
    WCMessage state(
        Command::plyabackStateUpdate, std::nullopt,
        WCPlaybackData(WCPlaybackStateUpdateData(PlayerEvent::paused, nullptr, std::nullopt)));
    ASSERT_EQ(commands.sendUserInfo(state), std::nullopt);
    ASSERT_TRUE(test::pumpMainQueueUntil([&] { return announced.size() == 2; }));
    const auto& first = std::any_cast<const WCMessage&>(announced[0].object);
    EXPECT_EQ(first.command, Command::sendPlayerCommand);
    EXPECT_EQ(first.timestamp(), next.timestamp());
    ASSERT_TRUE(first.playbackData && first.playbackData->command &&
                first.playbackData->command->arg);
    ASSERT_NE(first.playbackData->command->arg->intValue(), nullptr);
    EXPECT_EQ(*first.playbackData->command->arg->intValue(), 4);
    const auto& second = std::any_cast<const WCMessage&>(announced[1].object);
    EXPECT_EQ(second.command, Command::plyabackStateUpdate);
    ASSERT_TRUE(second.playbackData && second.playbackData->playbackState);
    EXPECT_EQ(second.playbackData->playbackState->playerEvent(), PlayerEvent::paused);

    NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace
}  // namespace vk
