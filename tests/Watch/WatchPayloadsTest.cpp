#include "VornKit/Watch/PlayerCommand.h"
#include "VornKit/Watch/WCCredentialsData.h"
#include "VornKit/Watch/WCPlaybackData.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

template <class T>
CodingResult<T> decode(const std::string& json) {
    return JsonDecoder().decode<T>(json);
}

TEST(PlayerCommandArg, DecodesAnIntegerOrATextAndNothingElse) {
    auto three = decode<PlayerCommandWrapper>(R"({"command":"playAtIndex","arg":3})");
    ASSERT_TRUE(three) << three.error().description();
    ASSERT_TRUE(three->arg && three->arg->intValue());
    EXPECT_EQ(*three->arg->intValue(), 3);
    EXPECT_EQ(three->arg->value(), PlistValue(3));

    auto text = decode<PlayerCommandWrapper>(R"({"command":"playAtIndex","arg":"3"})");
    ASSERT_TRUE(text && text->arg && text->arg->stringValue());
    EXPECT_EQ(*text->arg->stringValue(), "3");
    EXPECT_EQ(text->arg->value(), PlistValue("3"));

    for (const char* bad : {"3.5", "true", "{}", "[1]"}) {
        auto result = decode<PlayerCommandWrapper>(
            std::string(R"({"command":"playAtIndex","arg":)") + bad + "}");
        ASSERT_FALSE(result) << bad;
        EXPECT_NE(result.error().description().find("Decoding Failed."), std::string::npos)
            << result.error().description();
        // ...and fails the payload around it.
        EXPECT_FALSE(JsonDecoder().decode<WCPlaybackData>(
            std::string(R"({"startIndex":0,"command":{"command":"nextTrack","arg":)") + bad +
            "}}"));
    }
    // A null argument is an absent one.
    auto none = decode<PlayerCommandWrapper>(R"({"command":"stop","arg":null})");
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->arg);
}

TEST(PlayerCommandWrapper, CodesCommandsAsTheirTextsAndLeavesAnAbsentArgumentOut) {
    EXPECT_EQ(JsonEncoder().encode(PlayerCommandWrapper(PlayerCommand::nextTrack, std::nullopt)),
              R"({"command":"nextTrack"})");
    EXPECT_EQ(JsonEncoder().encode(
                  PlayerCommandWrapper(PlayerCommand::playAtIndex, PlayerCommandArg::int_(-2))),
              R"({"command":"playAtIndex","arg":-2})");
    EXPECT_EQ(JsonEncoder().encode(
                  PlayerCommandWrapper(PlayerCommand::playPause, PlayerCommandArg::string("a\"b"))),
              R"({"command":"playPause","arg":"a\"b"})");
    EXPECT_FALSE(decode<PlayerCommandWrapper>(R"({"command":"NextTrack"})"));
    EXPECT_FALSE(decode<PlayerCommandWrapper>(R"({"arg":1})"));
    EXPECT_EQ(playerCommandFromString("prevTrack"), PlayerCommand::prevTrack);
    EXPECT_EQ(playerCommandFromString("prev"), std::nullopt);
}

TEST(WCCredentialsData, RequiresTheCredentials) {
    auto data = decode<WCCredentialsData>(
        R"({"credentials":{"Servers":[{"Id":"s1","Name":"Home","AccessToken":"t"}]}})");
    ASSERT_TRUE(data) << data.error().description();
    ASSERT_EQ(data->credentials.Servers.size(), 1u);
    EXPECT_EQ(data->credentials.Servers[0].AccessToken, "t");
    EXPECT_FALSE(decode<WCCredentialsData>(R"({})"));
    EXPECT_FALSE(decode<WCCredentialsData>(R"({"credentials":{}})"));
}

}  // namespace
}  // namespace vk
