#include "VornKit/Watch/WCPlaybackData.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

template <class T>
CodingResult<T> decode(const std::string& json) {
    return JsonDecoder().decode<T>(json);
}

TEST(WCPlaybackData, OnlyTheStartIndexIsRequired) {
    auto bare = decode<WCPlaybackData>(R"({"startIndex":0})");
    ASSERT_TRUE(bare) << bare.error().description();
    EXPECT_FALSE(bare->items);
    EXPECT_FALSE(bare->command);
    EXPECT_FALSE(bare->playbackState);
    EXPECT_EQ(JsonEncoder().encode(*bare), R"({"startIndex":0})");
    EXPECT_FALSE(decode<WCPlaybackData>(R"({"items":[]})"));

    auto items = decode<WCPlaybackData>(
        R"({"items":[{"ServerId":"s","Id":"a1","Name":"One"},{"ServerId":"s","Id":"a2"}],"startIndex":1})");
    ASSERT_TRUE(items) << items.error().description();
    ASSERT_TRUE(items->items);
    ASSERT_EQ(items->items->size(), 2u);
    EXPECT_EQ((*items->items)[1]->Id, "a2");
    EXPECT_EQ(items->startIndex, 1);
    // An item the record rules refuse fails the payload; decoded items are free-standing.
    EXPECT_FALSE(decode<WCPlaybackData>(R"({"items":[{"Id":"a1"}],"startIndex":0})"));
    EXPECT_EQ((*items->items)[0]->managedObjectContext(), nullptr);
}

TEST(WCPlaybackStateUpdateData, KeepsItemsAsMediaItemJson) {
    WCPlaybackStateUpdateData paused(PlayerEvent::paused, nullptr, std::nullopt);
    EXPECT_EQ(JsonEncoder().encode(paused), R"({"playerEvent":"paused"})");
    EXPECT_EQ(paused.currentItem(), nullptr);
    EXPECT_FALSE(paused.currentPlayQueue());

    auto item = std::make_shared<MediaItem>(std::string("http://s/a.mp3"), std::string("Song"),
                                            std::nullopt, std::string("Band"), std::nullopt,
                                            std::string("srv"), std::string("i1"), std::nullopt);
    auto other =
        std::make_shared<MediaItem>(std::nullopt, std::string("Other"), std::nullopt, std::nullopt,
                                    std::nullopt, std::nullopt, std::string("i2"), std::nullopt);
    WCPlaybackStateUpdateData state(PlayerEvent::fileDidLoad, item,
                                    std::vector<std::shared_ptr<MediaItem>>{item, other});
    auto json = JsonEncoder().encode(WCPlaybackData(state));
    ASSERT_TRUE(json);
    auto back = decode<WCPlaybackData>(*json);
    ASSERT_TRUE(back) << back.error().description();
    ASSERT_TRUE(back->playbackState);
    EXPECT_EQ(back->playbackState->playerEvent(), PlayerEvent::fileDidLoad);
    auto current = back->playbackState->currentItem();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->Title, "Song");
    EXPECT_EQ(current->ItemId, "i1");
    auto queue = back->playbackState->currentPlayQueue();
    ASSERT_TRUE(queue);
    ASSERT_EQ(queue->size(), 2u);
    EXPECT_EQ((*queue)[1]->ItemId, "i2");

    // Texts that are not item JSON read as an empty queue; the event is required and checked.
    auto badQueue = decode<WCPlaybackStateUpdateData>(
        R"({"playerEvent":"unpaused","currentPlayQueueJson":"not json"})");
    ASSERT_TRUE(badQueue);
    ASSERT_TRUE(badQueue->currentPlayQueue());
    EXPECT_TRUE(badQueue->currentPlayQueue()->empty());
    EXPECT_FALSE(decode<WCPlaybackStateUpdateData>(R"({"playerEvent":"stopped"})"));
    EXPECT_FALSE(decode<WCPlaybackStateUpdateData>(R"({"currentItemJson":"{}"})"));
}

}  // namespace
}  // namespace vk
