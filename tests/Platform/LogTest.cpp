#include "VornKit/Platform/Runtime/Log.h"

#include "Support/TestSupport.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/FatalError.h"
#include "gtest/gtest.h"

namespace {

TEST(Log, UnifiedLinesCarryBundleSubsystemAndCategory) {
    vk::test::ScopedLogCapture capture;
    vk::Logger("ApiClient").log("hello");
    auto records = capture->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, vk::LogKind::Unified);
    EXPECT_EQ(records[0].subsystem, "app.vorn.tests");
    EXPECT_EQ(records[0].category, "ApiClient");
    EXPECT_EQ(records[0].message, "hello");
}

TEST(Log, PrivateValuesAreRedactedUnlessTheHostAllowsThem) {
    vk::test::ScopedLogCapture capture;
    vk::Logger logger("KeychainHelper");
    logger.log(vk::LogMessage("token ") << vk::Private{"s3cret"} << " for user " << 7LL);
    vk::Log::setPrivateLoggingEnabled(true);
    logger.log(vk::LogMessage("token ") << vk::Private{"s3cret"});
    vk::Log::setPrivateLoggingEnabled(false);
    EXPECT_EQ(capture->messages("KeychainHelper"),
              (std::vector<std::string>{"token <private> for user 7", "token s3cret"}));
}

TEST(Log, ConsoleAndStandardOutputLinesAreKeptApart) {
    vk::test::ScopedLogCapture capture;
    vk::consoleLog("FileSystem", "moved %s (%d bytes)", "a.mp3", 1200);
    vk::standardOutputLine("session activated");
    auto records = capture->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, vk::LogKind::Console);
    EXPECT_EQ(records[0].message, "moved a.mp3 (1200 bytes)");
    EXPECT_EQ(records[1].kind, vk::LogKind::StandardOutput);
    EXPECT_EQ(records[1].message, "session activated");
    EXPECT_TRUE(capture->contains("a.mp3"));
    EXPECT_EQ(capture->count("session activated"), 1u);
}

TEST(LogDeathTest, AHostWithoutBundleIdentifierStopsAtTheFirstLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            vk::Bundle::setMain(vk::Bundle{});
            vk::Logger("ApiClient").log("never written");
        },
        "Fatal error: .*bundle");
}

TEST(LogDeathTest, FatalErrorNamesTheSourcePath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(vk::fatalError("Unable to find the store model", "VornKit/OfflineDataController"),
                 "Fatal error: Unable to find the store model.*VornKit/OfflineDataController");
}

}  // namespace
