#include "VornKit/Watch/WCCommands.h"

#include <atomic>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Watch/WatchSessionDouble.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

struct Replies {
    std::mutex mutex;
    std::vector<std::optional<WCMessage>> received;

    WCReplyHandler handler() {
        return [this](std::optional<WCMessage> reply) {
            std::lock_guard lock(mutex);
            received.push_back(std::move(reply));
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return received.size();
    }
};

class WCCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = WatchSessionDouble::make();
        WatchSession::setDefaultSession(session);
    }
    void TearDown() override { WatchSession::setDefaultSession(nullptr); }

    std::shared_ptr<WatchSessionDouble> session;
    WCCommands commands;
};

TEST_F(WCCommandsTest, NothingIsSentUnlessTheSessionIsActivated) {
    for (auto state : {WatchActivationState::notActivated, WatchActivationState::inactive}) {
        session->setActivationState(state);
        session->setReachable(true);
        Replies replies;
        EXPECT_EQ(commands.sendMessage(WCMessage(Command::getCredentials), replies.handler()),
                  WCCommandError::SessionNotActive);
        EXPECT_EQ(commands.sendMessage(WCMessage(Command::getCredentials)),
                  WCCommandError::SessionNotActive);
        EXPECT_EQ(commands.updateApplicationContext(WCMessage(Command::getCredentials)),
                  WCCommandError::SessionNotActive);
        EXPECT_EQ(commands.sendUserInfo(WCMessage(Command::getCredentials)),
                  WCCommandError::SessionNotActive);
        session->drain();
        EXPECT_EQ(replies.count(), 0u);
    }
    EXPECT_TRUE(session->sentMessages().empty());
    EXPECT_TRUE(session->applicationContextUpdates().empty());
    EXPECT_TRUE(session->userInfoTransfers().empty());
}

TEST_F(WCCommandsTest, RepliesAreParsedAndAnUnreadableOneGivesNothing) {
    test::ScopedLogCapture log;
    session->setActivationState(WatchActivationState::activated);
    session->setReachable(true);
    Replies replies;
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials), replies.handler()),
              std::nullopt);
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials), replies.handler()),
              std::nullopt);
    auto sent = session->sentMessages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].message.at("command"), PlistValue("getCredentials"));
    ASSERT_TRUE(sent[0].replyHandler && sent[1].replyHandler);

    WCMessage answer(Command::updateCredentials, WCCredentialsData{});
    session->runOnSessionQueue([&] { sent[0].replyHandler(answer.dictionary()); });
    session->runOnSessionQueue([&] { sent[1].replyHandler(PlistDictionary{}); });
    session->drain();
    ASSERT_EQ(replies.count(), 2u);
    ASSERT_TRUE(replies.received[0]);
    EXPECT_EQ(replies.received[0]->command, Command::updateCredentials);
    EXPECT_EQ(replies.received[0]->timestamp(), answer.timestamp());
    EXPECT_FALSE(replies.received[1]);
    EXPECT_EQ(log->count("[WCCommands] Warning: Invalid reply message data for command "
                         "getCredentials"),
              1u);
    EXPECT_EQ(log->count("Warning: WCMessage missing command! {}"), 1u);
}

TEST_F(WCCommandsTest, AFailedMessageCallsItsReplyHandlerWithNothingAndLogsThePayloadPrivately) {
    test::ScopedLogCapture log;
    session->setActivationState(WatchActivationState::activated);
    session->setReachable(false);  // the double fails messages while not reachable
    Replies replies;
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials), replies.handler()),
              std::nullopt);
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials)), std::nullopt);
    session->drain();
    ASSERT_EQ(replies.count(), 1u);
    EXPECT_FALSE(replies.received[0]);
    auto lines = log->messages("WCCommands");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Error sending WCSession message: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "Failing message: <private>");
    EXPECT_EQ(lines[3], "Failing message: <private>");

    // Without a reply handler the session is asked for no reply.
    session->setReachable(true);
    ASSERT_EQ(commands.sendMessage(WCMessage(Command::getCredentials)), std::nullopt);
    auto sent = session->sentMessages();
    ASSERT_FALSE(sent.empty());
    EXPECT_FALSE(sent.back().replyHandler);
}

TEST_F(WCCommandsTest, ContextAndUserInfoCarryTheDictionary) {
    test::ScopedLogCapture log;
    session->setActivationState(WatchActivationState::activated);
    WCMessage message(Command::getCredentials);
    ASSERT_EQ(commands.updateApplicationContext(message), std::nullopt);
    ASSERT_EQ(commands.sendUserInfo(message), std::nullopt);
    ASSERT_EQ(session->applicationContextUpdates().size(), 1u);
    EXPECT_EQ(session->applicationContextUpdates()[0], message.dictionary());
    ASSERT_EQ(session->userInfoTransfers().size(), 1u);
    EXPECT_EQ(session->userInfoTransfers()[0], message.dictionary());

    // A context the session refuses is logged, not passed on.
    session->failNextApplicationContextUpdate(
        WatchSessionError::make(WatchSessionErrorCode::payloadTooLarge));
    EXPECT_EQ(commands.updateApplicationContext(message), std::nullopt);
    auto lines = log->messages("WCCommands");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Failed to update WCSession applicationContext: ", 0), 0u);
    EXPECT_EQ(lines[1], "Failing applicationContext: <private>");
}

}  // namespace
}  // namespace vk
