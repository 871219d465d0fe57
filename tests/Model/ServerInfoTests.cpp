#include "VornKit/Model/ServerInfo.h"

#include <gtest/gtest.h>

#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Model/NativeCredentials.h"

namespace vk {
namespace {

JsonDecoder millisecondsDecoder() {
    JsonDecoder decoder;
    decoder.dateDecodingStrategy = DateCodingStrategy::MillisecondsSince1970;
    return decoder;
}

TEST(NativeCredentialsCoding, EmptyServerListDecodesAndMissingServersFails) {
    auto credentials = JsonDecoder().decode<NativeCredentials>(R"({"Servers":[]})");
    ASSERT_TRUE(credentials) << credentials.error().description();
    EXPECT_TRUE(credentials->Servers.empty());
    EXPECT_FALSE(credentials->ConnectAccessToken);

    auto missing = JsonDecoder().decode<NativeCredentials>("{}");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, DecodingErrorKind::KeyNotFound);
    EXPECT_NE(missing.error().description().find("Servers"), std::string::npos);
}

TEST(NativeCredentialsCoding, ServerWithoutIdOrNameFailsTheWholeText) {
    auto noId = JsonDecoder().decode<NativeCredentials>(R"({"Servers":[{"Name":"n"}]})");
    ASSERT_FALSE(noId);
    EXPECT_EQ(noId.error().kind, DecodingErrorKind::KeyNotFound);
    EXPECT_EQ(noId.error().codingPath, "Servers[0]");
    auto noName = JsonDecoder().decode<NativeCredentials>(R"({"Servers":[{"Id":"a"}]})");
    ASSERT_FALSE(noName);
    EXPECT_NE(noName.error().description().find("\"Name\""), std::string::npos);
}

TEST(ConnectionModeCoding, OtherIntegersAreUnknownAndTextFails) {
    auto seven =
        JsonDecoder().decode<ServerInfo>(R"({"Id":"a","Name":"n","LastConnectionMode":7})");
    ASSERT_TRUE(seven);
    EXPECT_EQ(seven->LastConnectionMode, ConnectionMode::unknown);
    auto two = JsonDecoder().decode<ServerInfo>(R"({"Id":"a","Name":"n","LastConnectionMode":2})");
    ASSERT_TRUE(two);
    EXPECT_EQ(two->LastConnectionMode, ConnectionMode::remote);

    auto text = JsonDecoder().decode<NativeCredentials>(
        R"({"Servers":[{"Id":"a","Name":"n","LastConnectionMode":"1"}]})");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, DecodingErrorKind::TypeMismatch);
    EXPECT_EQ(text.error().codingPath, "Servers[0].LastConnectionMode");

    EXPECT_EQ(connectionModeFromRaw(3), ConnectionMode::manual);
    EXPECT_FALSE(connectionModeFromRaw(0));
    EXPECT_FALSE(connectionModeFromRaw(5));
}

TEST(ServerInfoCoding, MillisecondDatesReadAndWriteBack) {
    auto zero =
        millisecondsDecoder().decode<ServerInfo>(R"({"Id":"a","Name":"n","DateLastAccessed":0})");
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->DateLastAccessed, Date{});
    auto half =
        millisecondsDecoder().decode<ServerInfo>(R"({"Id":"a","Name":"n","DateLastAccessed":500})");
    ASSERT_TRUE(half);
    EXPECT_EQ(*half->DateLastAccessed - Date{}, std::chrono::milliseconds(500));

    JsonEncoder encoder;
    encoder.dateEncodingStrategy = DateCodingStrategy::MillisecondsSince1970;
    EXPECT_EQ(encoder.encode(*half), R"({"Id":"a","Name":"n","DateLastAccessed":500})");
}

TEST(ServerInfoCoding, EveryDateReadsBackAsTheNumberItCameFrom) {
    // Whole milliseconds of today's dates used to come back a fraction short (122.9998).
    JsonEncoder milliseconds;
    milliseconds.dateEncodingStrategy = DateCodingStrategy::MillisecondsSince1970;
    for (const char* value : {"1700000000123", "1700000000123.5", "-1234", "0.25", "1e3"}) {
        std::string json = std::string(R"({"Id":"a","Name":"n","DateLastAccessed":)") + value + "}";
        auto server = millisecondsDecoder().decode<ServerInfo>(json);
        ASSERT_TRUE(server) << server.error().description();
        auto again = milliseconds.encode(*server);
        ASSERT_TRUE(again);
        auto reread = millisecondsDecoder().decode<ServerInfo>(*again);
        ASSERT_TRUE(reread);
        EXPECT_EQ(reread->DateLastAccessed, server->DateLastAccessed) << value;
        if (std::string(value) == "1700000000123") {
            EXPECT_EQ(*again, json);
        }
    }
    // Seconds since 1970 and since 2001 with fractions survive too.
    for (auto strategy :
         {DateCodingStrategy::SecondsSince1970, DateCodingStrategy::DeferredToDate}) {
        JsonDecoder decoder;
        decoder.dateDecodingStrategy = strategy;
        JsonEncoder encoder;
        encoder.dateEncodingStrategy = strategy;
        auto server =
            decoder.decode<ServerInfo>(R"({"Id":"a","Name":"n","DateLastAccessed":721692800.123})");
        ASSERT_TRUE(server);
        EXPECT_EQ(encoder.encode(*server),
                  R"({"Id":"a","Name":"n","DateLastAccessed":721692800.123})");
    }
}

TEST(ServerInfoCoding, EncodesInTableOrderWithOnlyPresentOptionals) {
    ServerInfo server;
    server.Id = "id1";
    server.Name = "Den \"server\"";
    server.AccessToken = "tok";
    server.LastConnectionMode = ConnectionMode::local;
    server.RemoteAddress = "https://example.test:8920";
    EXPECT_EQ(JsonEncoder().encode(server),
              R"({"AccessToken":"tok","Id":"id1","LastConnectionMode":1,"Name":"Den \"server\"",)"
              R"("RemoteAddress":"https://example.test:8920"})");
    NativeCredentials credentials;
    credentials.Servers.push_back(server);
    auto json = JsonEncoder().encode(credentials);
    ASSERT_TRUE(json);
    auto back = JsonDecoder().decode<NativeCredentials>(*json);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, credentials);
}

TEST(EndpointInfoCoding, BothKeysRequired) {
    auto ok = JsonDecoder().decode<EndpointInfo>(R"({"IsLocal":true,"IsInNetwork":false,"X":[1]})");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->IsLocal);
    EXPECT_FALSE(ok->IsInNetwork);
    auto missing = JsonDecoder().decode<EndpointInfo>(R"({"IsLocal":true})");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, DecodingErrorKind::KeyNotFound);
    auto null = JsonDecoder().decode<EndpointInfo>(R"({"IsLocal":true,"IsInNetwork":null})");
    ASSERT_FALSE(null);
    EXPECT_EQ(null.error().kind, DecodingErrorKind::ValueNotFound);
}

}  // namespace
}  // namespace vk
