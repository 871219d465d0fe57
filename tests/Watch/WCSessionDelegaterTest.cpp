#include "VornKit/Watch/WCSessionDelegater.h"

#include <atomic>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Platform/Watch/WatchSessionDouble.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace std::chrono_literals;

PlistDictionary messageOf(Command command) {
    return WCMessage(command).dictionary();
}

// Collects the delegater's notifications, as they arrive on the main queue.
class Notifications {
  public:
    Notifications() {
        for (auto name :
             {WCNotificationName::WCActivationDidComplete,
              WCNotificationName::WCReachabilityDidChange, WCNotificationName::WCMessageRecieved}) {
            tokens_.push_back(NotificationCenter::defaultCenter().addObserver(
                std::string(name), nullptr, DispatchQueue::main(),
                [this](const Notification& n) { received.push_back(n); }));
        }
    }
    ~Notifications() {
        for (auto token : tokens_)
            NotificationCenter::defaultCenter().removeObserver(token);
    }
    /// Pumps the main queue until `n` notifications are in (false after the timeout).
    bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 5s) {
        return test::pumpMainQueueUntil([&] { return received.size() >= n; }, timeout);
    }

    std::vector<Notification> received;  // main thread only

  private:
    std::vector<ObserverToken> tokens_;
};

class Answerer : public WCMessageReplyDelegate {
  public:
    std::function<void(const WCMessage&, std::function<void(std::optional<WCMessage>)>)> answer;
    std::atomic<int> calls{0};
    void didReceiveMessage(const WCMessage& message,
                           std::function<void(std::optional<WCMessage>)> reply) override {
        ++calls;
        answer(message, std::move(reply));
    }
};

class WCSessionDelegaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        answerer = std::make_shared<Answerer>();
        delegater = std::make_shared<WCSessionDelegater>(answerer);
        session = WatchSessionDouble::make();
        session->setDelegate(delegater);
    }

    std::shared_ptr<Answerer> answerer;
    std::shared_ptr<WCSessionDelegater> delegater;
    std::shared_ptr<WatchSessionDouble> session;
};

TEST_F(WCSessionDelegaterTest, StateChangesArePrintedAndAnnouncedWithoutObjects) {
    test::ScopedLogCapture log;
    Notifications notes;
    session->simulateActivation(WatchActivationState::notActivated,
                                WatchSessionError::make(WatchSessionErrorCode::genericError));
    session->setReachable(true);
    session->simulateReachabilityChange(true);
    session->simulateInactive();
    session->simulateWatchStateChange();
    session->drain();
    ASSERT_TRUE(notes.waitFor(2));
    EXPECT_EQ(notes.received[0].name, "WCActivationDidComplete");
    EXPECT_FALSE(notes.received[0].object.has_value());
    EXPECT_EQ(notes.received[1].name, "WCReachabilityDidChange");
    EXPECT_FALSE(notes.received[1].object.has_value());

    std::vector<std::string> lines;
    for (const auto& record : log->records()) {
        if (record.kind == LogKind::StandardOutput)
            lines.push_back(record.message);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "session(_:activationDidCompleteWith:error:): activationState = 0",
                         "sessionReachabilityDidChange(_:): reachability = true",
                         "sessionDidBecomeInactive(_:): activationState = 1",
                         "sessionWatchStateDidChange(_:): activationState = 1",
                     }));
}

TEST_F(WCSessionDelegaterTest, ADeactivatedSessionIsActivatedAgain) {
    session->simulateDeactivation();
    session->drain();
    EXPECT_EQ(session->activationCount(), 1);
}

TEST_F(WCSessionDelegaterTest, MessagesContextsAndUserInfoAreAnnouncedWithTheMessage) {
    test::ScopedLogCapture log;
    Notifications notes;
    session->simulateMessage(messageOf(Command::getCredentials));
    session->simulateApplicationContext(
        WCMessage(Command::sendPlayerCommand, std::nullopt,
                  WCPlaybackData(PlayerCommandWrapper(PlayerCommand::nextTrack, std::nullopt)))
            .dictionary());
    session->simulateUserInfo({{"command", "getCredentials"}});  // no timestamp: dropped
    session->simulateUserInfo(messageOf(Command::getCredentials));
    session->drain();
    ASSERT_TRUE(notes.waitFor(3));
    EXPECT_FALSE(notes.waitFor(4, 100ms));
    for (const auto& n : notes.received) {
        EXPECT_EQ(n.name, "WCMessageRecieved");
        ASSERT_NE(std::any_cast<WCMessage>(&n.object), nullptr);
    }
    const auto& second = std::any_cast<const WCMessage&>(notes.received[1].object);
    EXPECT_EQ(second.command, Command::sendPlayerCommand);
    ASSERT_TRUE(second.playbackData && second.playbackData->command);
    EXPECT_EQ(second.playbackData->command->command, PlayerCommand::nextTrack);
    EXPECT_EQ(log->count("Warning: WCMessage missing timestamp! {command = \"getCredentials\"}"),
              1u);
    EXPECT_EQ(answerer->calls, 0);
}

TEST_F(WCSessionDelegaterTest, TheReplyDelegateAnswersWithAMessageOrAnEmptyDictionary) {
    Notifications notes;
    WCMessage answer(Command::updateCredentials, WCCredentialsData{});
    answerer->answer = [&](const WCMessage& message, auto reply) {
        if (message.command == Command::getCredentials) {
            reply(answer);
            reply(std::nullopt);  // a second answer is ignored
        } else {
            // Later, from another thread.
            std::thread([reply] { reply(std::nullopt); }).detach();
        }
    };
    std::mutex mutex;
    std::vector<PlistDictionary> replies;
    auto collect = [&](const PlistDictionary& reply) {
        std::lock_guard lock(mutex);
        replies.push_back(reply);
    };
    session->simulateMessageWithReply(messageOf(Command::getCredentials), collect);
    session->drain();
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], answer.dictionary());
    }
    session->simulateMessageWithReply(
        WCMessage(Command::startPlayback, std::nullopt,
                  WCPlaybackData(std::vector<std::shared_ptr<BaseItemDto>>{}))
            .dictionary(),
        collect);
    ASSERT_TRUE(test::pumpMainQueueUntil([&] {
        std::lock_guard lock(mutex);
        return replies.size() == 2;
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(replies[1], PlistDictionary{});
    }
    EXPECT_EQ(answerer->calls, 2);
    EXPECT_FALSE(notes.waitFor(1, 100ms));  // answered messages are not announced
}

TEST_F(WCSessionDelegaterTest, WithoutAReplyDelegateTheMessageIsAnnouncedAndNeverAnswered) {
    Notifications notes;
    answerer.reset();  // the delegater held it weakly
    std::atomic<int> replies{0};
    session->simulateMessageWithReply(messageOf(Command::getCredentials),
                                      [&](const PlistDictionary&) { ++replies; });
    session->drain();
    ASSERT_TRUE(notes.waitFor(1));
    EXPECT_EQ(notes.received[0].name, "WCMessageRecieved");
    EXPECT_EQ(std::any_cast<const WCMessage&>(notes.received[0].object).command,
              Command::getCredentials);
    session->drain();
    EXPECT_EQ(replies, 0);
}

TEST_F(WCSessionDelegaterTest, AnUnreadableMessageExpectingAReplyGetsNothing) {
    test::ScopedLogCapture log;
    Notifications notes;
    answerer->answer = [](const WCMessage&, auto reply) { reply(std::nullopt); };
    std::atomic<int> replies{0};
    session->simulateMessageWithReply({{"command", "playbackStateUpdate"}},
                                      [&](const PlistDictionary&) { ++replies; });
    session->drain();
    EXPECT_FALSE(notes.waitFor(1, 100ms));
    EXPECT_EQ(replies, 0);
    EXPECT_EQ(answerer->calls, 0);
    EXPECT_EQ(log->count("Warning: WCMessage missing command! {command = \"playbackStateUpdate\"}"),
              1u);
}

}  // namespace
}  // namespace vk
