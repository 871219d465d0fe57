#include "VornKit/Playback/MediaItem.h"

#include <regex>
#include <thread>

#include "PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Files/Directories.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

std::int64_t sessionNumber(const std::string& id) {
    EXPECT_TRUE(std::regex_match(id, std::regex("local-[0-9]+"))) << id;
    return std::stoll(id.substr(6));
}

TEST(MediaItemJson, ReadsNineKeysAndWritesSeven) {
    auto item = MediaItem::initWithJson(
        R"({"ItemJson":"{\"Id\":\"1\"}","PlaylistItemId":"p1","ServerId":"s","ItemId":"i",)"
        R"("CoverUrl":"c","Album":"al","Artist":"ar","Title":"t","Path":"http://x/a","Other":5,)"
        R"("Ignored":{"nested":[1,2]}})");
    EXPECT_EQ(item->playlistItemId, "p1");
    EXPECT_EQ(item->itemJson, R"({"Id":"1"})");
    EXPECT_EQ(item->localPlaySessionId, std::nullopt);
    EXPECT_EQ(item->toJson(),
              R"({"Path":"http://x/a","Title":"t","Artist":"ar","Album":"al","CoverUrl":"c",)"
              R"("ItemId":"i","ServerId":"s"})");
    EXPECT_THAT(item->toDictionary(),
                ::testing::ElementsAre(std::pair<std::string, std::string>("Path", "http://x/a"),
                                       std::pair<std::string, std::string>("Title", "t"),
                                       std::pair<std::string, std::string>("Artist", "ar"),
                                       std::pair<std::string, std::string>("Album", "al"),
                                       std::pair<std::string, std::string>("CoverUrl", "c"),
                                       std::pair<std::string, std::string>("ItemId", "i"),
                                       std::pair<std::string, std::string>("ServerId", "s")));
    // Absent properties are left out; null reads as absent.
    auto sparse = MediaItem::initWithJson(R"({"Title":null,"ItemId":"i"})");
    EXPECT_EQ(sparse->Title, std::nullopt);
    EXPECT_EQ(sparse->toJson(), R"({"ItemId":"i"})");
    EXPECT_EQ(MediaItem().toJson(), "{}");
}

TEST(MediaItemJson, TextsSurviveARoundTrip) {
    std::vector<std::shared_ptr<MediaItem>> items;
    for (const auto& text : nastyTexts()) {
        auto item = std::make_shared<MediaItem>();
        item->Path = "http://x/" + text;
        item->Title = text;
        item->Artist = text;
        items.push_back(item);
    }
    auto json = MediaItem::mediaItemsToJson(items);
    ASSERT_TRUE(json.has_value());
    auto back = MediaItem::mediaItemsFromJson(*json);
    ASSERT_EQ(back.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(back[i]->Title, items[i]->Title) << i;
        EXPECT_EQ(back[i]->Path, items[i]->Path) << i;
        EXPECT_EQ(MediaItem::initWithJson(*items[i]->toJson())->Artist, items[i]->Artist) << i;
    }
}

TEST(MediaItemJson, BadInputGivesEmptyResultsAndALogLine) {
    ScopedLogCapture log;
    EXPECT_TRUE(MediaItem::mediaItemsFromJson("[{\"Path\":").empty());
    EXPECT_TRUE(MediaItem::mediaItemsFromJson(R"({"Path":"/a"})").empty());
    EXPECT_TRUE(MediaItem::mediaItemsFromJson("").empty());
    auto item = MediaItem::initWithJson("not json");
    EXPECT_EQ(item->toJson(), "{}");
    const auto lines = log->messages("MediaItem");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Error deserializing itemsJson to MediaItems: ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("Error deserializing MediaItem Json: ", 0), 0u);
    EXPECT_EQ(log->records()[0].kind, LogKind::Console);
    // A null entry in a list is skipped when writing.
    EXPECT_EQ(MediaItem::mediaItemsToJson({nullptr, std::make_shared<MediaItem>()}), "[{}]");
    EXPECT_EQ(MediaItem::mediaItemsToJson({}), "[]");
}

TEST(MediaItemJson, AnElementThatCannotBeReadIsSkippedAndLoggedAlone) {
    ScopedLogCapture log;
    const auto items = MediaItem::mediaItemsFromJson(
        R"([{"ItemId":"1","Title":"One"},{"ItemId":"2","Title":5},7,null,)"
        R"({"ItemId":"3","Path":"http://h/a","PlaylistItemId":"p3"}])");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->ItemId, "1");
    EXPECT_EQ(items[0]->Title, "One");
    EXPECT_EQ(items[1]->ItemId, "3");
    EXPECT_EQ(items[1]->playlistItemId, "p3");
    const auto lines = log->messages("MediaItem");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("Error deserializing itemsJson to MediaItems: element 1 skipped: ", 0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("Error deserializing itemsJson to MediaItems: element 2 skipped: ", 0),
              0u)
        << lines[1];
}

TEST(MediaItemDictionary, ReadsKnownKeysAndAssignsNoSession) {
    auto item = MediaItem::initWithDictionary(
        {{"Path", "/Music/a.flac"}, {"PlaylistItemId", "p"}, {"Nonsense", "x"}, {"Title", "t"}});
    EXPECT_EQ(item->Path, "/Music/a.flac");
    EXPECT_EQ(item->playlistItemId, "p");
    EXPECT_EQ(item->Title, "t");
    EXPECT_EQ(item->localPlaySessionId, std::nullopt);
}

TEST(MediaItemLocalFiles, ListPathsAreTakenRelativeToTheDocumentsDirectory) {
    const std::string docs = Directories::documents().value().string();
    auto items = MediaItem::mediaItemsFromJson(
        R"([{"Path":"/Music/a.flac"},{"Path":"https://server/vorn/Audio/1/universal"},)"
        R"({"Path":")" +
        docs + R"(/Music/b.flac"},{"Path":")" + docs + R"(-other/c.flac"},{"Title":"none"}])");
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0]->Path, docs + "/Music/a.flac");
    EXPECT_EQ(items[1]->Path, "https://server/vorn/Audio/1/universal");
    EXPECT_EQ(items[1]->localPlaySessionId, std::nullopt);
    EXPECT_EQ(items[2]->Path, docs + "/Music/b.flac");  // already inside: not prefixed again
    // A sibling directory whose name merely starts like the documents directory is not inside it.
    EXPECT_EQ(items[3]->Path, docs + "/" + docs.substr(1) + "-other/c.flac");
    EXPECT_EQ(items[4]->localPlaySessionId, std::nullopt);
    const auto a = sessionNumber(*items[0]->localPlaySessionId);
    const auto b = sessionNumber(*items[2]->localPlaySessionId);
    const auto c = sessionNumber(*items[3]->localPlaySessionId);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, b + 1);
}

TEST(MediaItemLocalFiles, SessionIdsStartAtTheClockAndGrowByOneAcrossThreads) {
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const auto first = sessionNumber(MediaItem::getLocalPlaySessionId());
    EXPECT_GE(first, 1'600'000'000);  // a time in seconds, not a count from zero
    EXPECT_LE(first, before + 10'000);
    EXPECT_EQ(sessionNumber(MediaItem::getLocalPlaySessionId()), first + 1);

    std::vector<std::vector<std::int64_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& list : seen) {
        threads.emplace_back([&list] {
            for (int i = 0; i < 500; ++i)
                list.push_back(sessionNumber(MediaItem::getLocalPlaySessionId()));
        });
    }
    for (auto& t : threads)
        t.join();
    std::vector<std::int64_t> all;
    for (const auto& list : seen)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back() - all.front(), 1999);

    MediaItem local("/tmp/x.flac", {}, {}, {}, {}, {}, {}, {});
    MediaItem remote("http://x/y", {}, {}, {}, {}, {}, {}, {});
    EXPECT_TRUE(local.localPlaySessionId.has_value());
    EXPECT_FALSE(remote.localPlaySessionId.has_value());
}

}  // namespace
}  // namespace vk::test
