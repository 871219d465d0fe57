#include "VornKit/Playback/PlayQueue.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

PlayQueue queueOf(int n) {
    std::vector<PlayQueue::Entry> entries;
    for (int i = 0; i < n; ++i) {
        auto item = std::make_shared<MediaItem>();
        item->ItemId = "i" + std::to_string(i);
        entries.push_back({item, std::nullopt, 100 + i, 0});
    }
    PlayQueue queue;
    queue.reset(std::move(entries));
    return queue;
}

std::vector<std::string> ids(const PlayQueue& queue) {
    std::vector<std::string> out;
    for (const auto& item : queue.items())
        out.push_back(*item->ItemId);
    return out;
}

TEST(PlayQueue, PositionsFollowTheirEntriesThroughMovesRemovalsAndInsertions) {
    PlayQueue queue = queueOf(5);
    queue.current = queue.lastAnnounced = 2;  // "i2" plays

    ASSERT_TRUE(queue.move(0, 4));  // from before the current entry to after it
    EXPECT_THAT(ids(queue), ::testing::ElementsAre("i1", "i2", "i3", "i4", "i0"));
    EXPECT_EQ(*queue.currentEntry()->item->ItemId, "i2");
    EXPECT_EQ(queue.lastAnnounced, 1);
    ASSERT_TRUE(queue.move(1, 3));  // the current entry itself
    EXPECT_EQ(queue.current, 3);
    ASSERT_TRUE(queue.move(4, 0));  // from after to before
    EXPECT_EQ(queue.current, 4);
    EXPECT_FALSE(queue.move(1, 1));
    EXPECT_FALSE(queue.move(0, 5));

    queue.insert(0, {std::make_shared<MediaItem>(), std::nullopt, 7, 0});
    EXPECT_EQ(queue.current, 5);
    EXPECT_EQ(queue.remove(0)->engineId, 7);
    EXPECT_EQ(queue.current, 4);
    // Removing the current entry leaves the position for the entry that slides in.
    EXPECT_TRUE(queue.remove(4).has_value());
    EXPECT_EQ(queue.current, 4);
    EXPECT_EQ(queue.currentEntry(), nullptr);
    EXPECT_FALSE(queue.remove(9).has_value());

    // Before anything plays, nothing follows: 0 stays the announced position.
    PlayQueue idle = queueOf(3);
    idle.insert(0, {nullptr, std::nullopt, 9, 0});
    idle.move(0, 2);
    EXPECT_EQ(idle.current, -1);
    EXPECT_EQ(idle.lastAnnounced, 0);
}

TEST(PlayQueue, ShuffleKeepsWhatPlayedAndUnshuffleRestoresTheOrder) {
    PlayQueue queue = queueOf(30);
    queue.current = queue.lastAnnounced = 4;
    queue.shuffle();
    const auto shuffled = ids(queue);
    EXPECT_THAT(std::vector(shuffled.begin(), shuffled.begin() + 5),
                ::testing::ElementsAre("i0", "i1", "i2", "i3", "i4"));
    EXPECT_NE(shuffled, ids(queueOf(30)));  // 25! orders: equal by chance practically never
    queue.move(10, 0);
    EXPECT_EQ(queue.current, 5);
    queue.unshuffle();
    EXPECT_EQ(ids(queue), ids(queueOf(30)));
    EXPECT_EQ(*queue.currentEntry()->item->ItemId, "i4");
    EXPECT_EQ(queue.current, 4);

    queue.reorder({104, 100, 999});
    const auto reordered = ids(queue);
    EXPECT_THAT(std::vector(reordered.begin(), reordered.begin() + 3),
                ::testing::ElementsAre("i4", "i0", "i1"));
    EXPECT_EQ(queue.current, 0);
    EXPECT_EQ(queue.indexOfEngineId(100), 1);
    EXPECT_EQ(queue.indexOfEngineId(999), -1);
}

}  // namespace
}  // namespace vk::test
