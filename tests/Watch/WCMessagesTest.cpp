#include "VornKit/Watch/WCMessages.h"

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace std::chrono_literals;

PlistValue::Data bytesOf(std::string_view text) {
    return PlistValue::Data(text.begin(), text.end());
}

PlistValue::Date aDate() {
    return PlistValue::Date(std::chrono::seconds(1733500000));
}

WCCredentialsData someCredentials() {
    ServerInfo server;
    server.Id = "s1";
    server.Name = "Home";
    server.AccessToken = "token";
    NativeCredentials credentials;
    credentials.Servers.push_back(server);
    return WCCredentialsData(credentials);
}

TEST(WCMessage, TheStateUpdateCommandIsOnlyItsOwnSpelling) {
    test::ScopedLogCapture log;
    auto parsed =
        WCMessage::fromMessage({{"command", "plyabackStateUpdate"}, {"timestamp", aDate()}});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->command, Command::plyabackStateUpdate);
    EXPECT_EQ(parsed->timestamp(), aDate());
    EXPECT_FALSE(parsed->playbackData);  // received messages are not held to their payloads
    EXPECT_TRUE(log->messages("WCMessage").empty());

    for (const char* other :
         {"playbackStateUpdate", "PlyabackStateUpdate", "plyabackStateUpdate "}) {
        log->clear();
        EXPECT_FALSE(WCMessage::fromMessage({{"command", other}, {"timestamp", aDate()}}));
        auto lines = log->messages("WCMessage");
        ASSERT_EQ(lines.size(), 1u) << other;
        EXPECT_EQ(lines[0].rfind("Warning: WCMessage missing command! {command = \"", 0), 0u)
            << lines[0];
    }
    // A command that is not a text, or none at all.
    log->clear();
    EXPECT_FALSE(WCMessage::fromMessage({{"command", 2}, {"timestamp", aDate()}}));
    EXPECT_FALSE(WCMessage::fromMessage({{"timestamp", aDate()}}));
    EXPECT_EQ(
        log->count("Warning: WCMessage missing command! {timestamp = 2024-12-06 15:46:40 +0000}"),
        1u);
}

TEST(WCMessage, ATimestampMustBeADateValue) {
    test::ScopedLogCapture log;
    EXPECT_FALSE(WCMessage::fromMessage(
        {{"command", "getCredentials"}, {"timestamp", "2024-12-06 15:46:40 +0000"}}));
    EXPECT_FALSE(
        WCMessage::fromMessage({{"command", "getCredentials"}, {"timestamp", 754000000.0}}));
    EXPECT_FALSE(WCMessage::fromMessage({{"command", "getCredentials"}}));
    EXPECT_EQ(log->count("Warning: WCMessage missing timestamp! {command = \"getCredentials\"; "
                         "timestamp = \"2024-12-06 15:46:40 +0000\"}"),
              1u);
    EXPECT_EQ(log->messages("WCMessage").size(), 3u);
}

TEST(WCMessage, PayloadsThatDoNotDecodeAreLeftAbsent) {
    test::ScopedLogCapture log;
    auto parsed = WCMessage::fromMessage({{"command", "updateCredentials"},
                                          {"timestamp", aDate()},
                                          {"credentialsData", bytesOf("not json")},
                                          {"playbackData", bytesOf(R"({"startIndex":"x"})")}});
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->credentialsData);
    EXPECT_FALSE(parsed->playbackData);
    // JSON as text instead of data is not a payload either.
    parsed = WCMessage::fromMessage({{"command", "updateCredentials"},
                                     {"timestamp", aDate()},
                                     {"credentialsData", R"({"credentials":{"Servers":[]}})"}});
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->credentialsData);
    EXPECT_TRUE(log->messages().empty());
}

TEST(WCMessage, DictionaryFormHasTheCommandTheTimeAndThePayloadsAsJsonData) {
    WCMessage bare(Command::getCredentials);
    auto dictionary = bare.dictionary();
    ASSERT_EQ(dictionary.size(), 2u);
    EXPECT_EQ(dictionary.at("command"), PlistValue("getCredentials"));
    ASSERT_NE(dictionary.at("timestamp").date(), nullptr);
    EXPECT_LE(std::chrono::system_clock::now() - *dictionary.at("timestamp").date(), 5s);

    WCMessage update(Command::updateCredentials, someCredentials(),
                     WCPlaybackData(PlayerCommandWrapper(PlayerCommand::stop, std::nullopt)));
    dictionary = update.dictionary();
    ASSERT_EQ(dictionary.size(), 4u);
    ASSERT_NE(dictionary.at("credentialsData").data(), nullptr);
    EXPECT_EQ(dictionary.at("playbackData"),
              PlistValue(bytesOf(R"({"startIndex":0,"command":{"command":"stop"}})")));

    // Through the binary form and back: the same message, the timestamp to the microsecond.
    auto bytes = encodeBinaryPlist(dictionary);
    ASSERT_TRUE(bytes);
    auto value = decodeBinaryPlist(bytes->data(), bytes->size());
    ASSERT_TRUE(value && value->dictionary());
    auto back = WCMessage::fromMessage(*value->dictionary());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->command, Command::updateCredentials);
    EXPECT_EQ(back->timestamp(), update.timestamp());
    EXPECT_EQ(back->credentialsData, update.credentialsData);
    ASSERT_TRUE(back->playbackData && back->playbackData->command);
    EXPECT_EQ(back->playbackData->command->command, PlayerCommand::stop);
}

TEST(WCMessage, APayloadThatCannotBeWrittenIsLeftOut) {
    // A NaN has no JSON form: the payload is left out, the message still goes.
    auto item = std::make_shared<BaseItemDto>();
    item->Id = "x";
    item->CriticRating = std::numeric_limits<float>::quiet_NaN();
    WCMessage start(Command::startPlayback, std::nullopt,
                    WCPlaybackData(std::vector<std::shared_ptr<BaseItemDto>>{item}));
    auto dictionary = start.dictionary();
    EXPECT_EQ(dictionary.size(), 2u);
    EXPECT_FALSE(dictionary.count("playbackData"));
}

using WCMessageDeathTest = ::testing::Test;

TEST_F(WCMessageDeathTest, AMessageBuiltWithoutItsPayloadStopsTheProcess) {
    EXPECT_DEATH(WCMessage(Command::updateCredentials),
                 "WCSession: Failed to provide WCCredentialsData for updateCredentials "
                 "command\\.(.|\n)*VornKit/WCMessages");
    EXPECT_DEATH(WCMessage(Command::startPlayback, std::nullopt, WCPlaybackData()),
                 "WCSession: Failed to provide BaseItemDto for startPlayback command\\.");
    EXPECT_DEATH(WCMessage(Command::sendPlayerCommand, someCredentials()),
                 "WCSession: Failed to provide PlayerCommandWrapper for sendPlayerCommand\\.");
    EXPECT_DEATH(WCMessage(Command::plyabackStateUpdate, std::nullopt,
                           WCPlaybackData(std::vector<std::shared_ptr<BaseItemDto>>{})),
                 "WCSession: Failed to provide WCPlaybackStateUpdateData for plyabackStateUpdate "
                 "command\\.");
    // What each command needs is enough; getCredentials needs nothing.
    WCMessage(Command::getCredentials);
    WCMessage(Command::startPlayback, std::nullopt,
              WCPlaybackData(std::vector<std::shared_ptr<BaseItemDto>>{}));
    WCMessage(
        Command::plyabackStateUpdate, std::nullopt,
        WCPlaybackData(WCPlaybackStateUpdateData(PlayerEvent::paused, nullptr, std::nullopt)));
}

}  // namespace
}  // namespace vk
