#include "VornKit/Settings/AppSettings.h"

#include <atomic>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;
using vk::AppSettings;
using Strings = std::vector<std::string>;

namespace {

class AppSettingsTest : public ::testing::Test {
  protected:
    std::shared_ptr<vk::UserDefaults> store =
        std::make_shared<vk::UserDefaults>(vk::test::makeTempDir("settings") / "standard.json");
    AppSettings settings{store};
};

TEST_F(AppSettingsTest, ServerListsKeepEmptyPiecesAndDifferInTheirAbsentReading) {
    EXPECT_EQ(settings.getCameraUploadServers(), Strings{});
    EXPECT_EQ(settings.getSaveStreamServers(), Strings{""});
    settings.set("cameraUploadServers", "a,,b");
    settings.set("saveStreamServers", "s1,s2,");
    EXPECT_EQ(settings.getCameraUploadServers(), (Strings{"a", "", "b"}));
    EXPECT_EQ(settings.getSaveStreamServers(), (Strings{"s1", "s2", ""}));
    settings.set("cameraUploadServers", "");
    EXPECT_EQ(settings.getCameraUploadServers(), Strings{""});
}

TEST_F(AppSettingsTest, FoldersSplitAtTheDoubleBarAndEmptyTextIsNoFolder) {
    EXPECT_EQ(settings.getCameraUploadFolders(), Strings{});
    settings.set("cameraUploadFolders", "x||y");
    EXPECT_EQ(settings.getCameraUploadFolders(), (Strings{"x", "y"}));
    settings.set("cameraUploadFolders", "a|b||||c");
    EXPECT_EQ(settings.getCameraUploadFolders(), (Strings{"a|b", "", "c"}));
    settings.set("cameraUploadFolders", "");
    EXPECT_EQ(settings.getCameraUploadFolders(), Strings{});
}

TEST_F(AppSettingsTest, BooleanTextRulesAreExactAndCaseSensitive) {
    EXPECT_TRUE(settings.getSyncOnlyOnWifi());
    EXPECT_TRUE(settings.getUploadOnlyOnWifi());
    EXPECT_FALSE(settings.getDownloadProgressEnabled());
    EXPECT_FALSE(settings.getCameraUploadAllFolders());
    EXPECT_FALSE(settings.getCameraUploadProgressEnabled());

    settings.set("syncOnlyOnWifi", "FALSE");
    settings.set("cameraUploadOnlyOnWifi", "false");
    settings.set("downloadProgressEnabled", "True");
    settings.set("cameraUploadAllFolders", "true");
    settings.set("cameraUploadProgressEnabled", "yes");
    EXPECT_TRUE(settings.getSyncOnlyOnWifi());
    EXPECT_FALSE(settings.getUploadOnlyOnWifi());
    EXPECT_FALSE(settings.getDownloadProgressEnabled());
    EXPECT_TRUE(settings.getCameraUploadAllFolders());
    EXPECT_FALSE(settings.getCameraUploadProgressEnabled());

    settings.set("syncOnlyOnWifi", "false");
    EXPECT_FALSE(settings.getSyncOnlyOnWifi());
    settings.remove("syncOnlyOnWifi");
    EXPECT_TRUE(settings.getSyncOnlyOnWifi());
}

TEST_F(AppSettingsTest, SkipLengthsParseWholeDecimalTextOnly) {
    EXPECT_EQ(settings.getSkipForwardLength(), 10000);
    settings.set("skipForwardLength", "30000");
    settings.set("skipBackLength", "-5000");
    EXPECT_EQ(settings.getSkipForwardLength(), 30000);
    EXPECT_EQ(settings.getSkipBackLength(), -5000);
    for (const char* bad : {"", "abc", "15s", " 15", "1.5", "99999999999999999999", "0x10"}) {
        settings.set("skipForwardLength", bad);
        EXPECT_EQ(settings.getSkipForwardLength(), 10000) << '"' << bad << '"';
    }
}

TEST_F(AppSettingsTest, SyncActiveIsAStoredBooleanNotText) {
    EXPECT_FALSE(settings.getSyncActive());
    settings.setSyncActive(true);
    EXPECT_TRUE(settings.getSyncActive());
    EXPECT_FALSE(store->string("syncActive")) << "stored as a Boolean value";
    settings.setSyncActive(false);
    EXPECT_FALSE(settings.getSyncActive());
}

TEST_F(AppSettingsTest, SubtitleStylesFallBackToDefaultsForAbsentOrNonObjectText) {
    EXPECT_EQ(*settings.getSubtitleStyles(), vk::SubtitleStyles{});
    for (const char* text : {"[1,2]", "not json", "", "\"text\"", "null"}) {
        settings.set("localplayersubtitleappearance3", text);
        EXPECT_EQ(*settings.getSubtitleStyles(), vk::SubtitleStyles{}) << text;
    }
    settings.set("localplayersubtitleappearance3", R"({"verticalPosition":25})");
    auto first = settings.getSubtitleStyles();
    EXPECT_EQ(first->verticalPosition, 25);
    first->verticalPosition = 99;  // a fresh object each time: no write-back
    EXPECT_EQ(settings.getSubtitleStyles()->verticalPosition, 25);
}

TEST_F(AppSettingsTest, ObservableEntriesReportTheirText) {
    std::vector<std::optional<std::string>> seen;
    vk::ObservableSettings::observeCameraUploadServers(
        *store, nullptr, [&](std::optional<std::string> text) { seen.push_back(text); });
    settings.set("cameraUploadServers", "a,b");
    settings.set("cameraUploadProgressEnabled", "true");
    settings.remove("cameraUploadServers");
    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"a,b", std::nullopt}));
    EXPECT_EQ(vk::ObservableSettings::cameraUploadProgressEnabled(*store), "true");
    EXPECT_FALSE(vk::ObservableSettings::cameraUploadServers(*store));
}

}  // namespace
