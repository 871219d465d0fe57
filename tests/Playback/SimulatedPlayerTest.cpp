#include "VornKit/Playback/SimulatedPlayer.h"

#include "HostSequences.h"
#include "PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

std::shared_ptr<MediaItem> trackMs(int n, std::int64_t ms) {
    auto item = makeStreamItem("item-" + std::to_string(n), "entry-" + std::to_string(n));
    item->itemJson = R"({"Id":"item-)" + std::to_string(n) + R"(","ServerId":"server-1",)" +
                     R"("RunTimeTicks":)" + std::to_string(ms * 10'000) + "}";
    return item;
}

std::shared_ptr<MediaItem> track(int n, int seconds) {
    return trackMs(n, seconds * 1'000LL);
}

/// A player in real time, with short steps and no scripted pause, and the bridge attached.
struct RealTimeRig {
    RealTimeRig() {
        SimulatedPlayer::Options options;
        options.timeUpdateInterval = std::chrono::milliseconds(20);
        options.pauseAtFraction.reset();
        player = SimulatedPlayer::make(options);
        rig = std::make_unique<BridgedPlayer>(player, *player);
    }
    std::shared_ptr<SimulatedPlayer> player;
    std::unique_ptr<BridgedPlayer> rig;
};

TEST(SimulatedPlayerSequences, EachNewQueueStartsAfresh) {
    RealTimeRig simulated;
    expectEachNewQueueStartsAfresh(*simulated.rig, {track(0, 60), track(1, 60), track(2, 60)},
                                   {track(3, 60), trackMs(4, 1'000)}, 900);
}

TEST(SimulatedPlayerSequences, ANewQueueAfterAPauseUnpauses) {
    RealTimeRig simulated;
    expectANewQueueAfterAPauseUnpauses(*simulated.rig, {track(0, 60)}, {track(1, 60)});
}

TEST(SimulatedPlayerSequences, EachRepetitionIsAPlayOfItsOwn) {
    RealTimeRig simulated;
    expectEachRepetitionIsAPlayOfItsOwn(*simulated.rig, {trackMs(0, 400), track(1, 60)}, 300, 400,
                                        0);
}

class SimulatedPlayerTest : public ::testing::Test {
  protected:
    void attach(SimulatedPlayer::Options options) {
        player = SimulatedPlayer::make(options);
        handler =
            PlayerEventHandler::create(web, {}, [this](const std::string&) { return client; });
        handler->setCurrentMediaType(MediaType::Audio);
        handler->setPlayer(player);
        player->addDelegate(handler);
    }
    bool settle(const std::function<bool()>& condition) {
        return pumpMainQueueUntil(condition, std::chrono::seconds(10));
    }

    std::shared_ptr<WebViewRecorder> web = std::make_shared<WebViewRecorder>();
    std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
    std::shared_ptr<SimulatedPlayer> player;
    std::shared_ptr<PlayerEventHandler> handler;
};

TEST_F(SimulatedPlayerTest, AFastPlayThroughReportsEachItemWithTheRightSourceAndPosition) {
    SimulatedPlayer::Options options;
    options.fast = true;
    attach(options);
    player->playAudio({track(0, 5), track(1, 3)}, false, MediaSourceInfo("source-given", {}), 0, 0);
    ASSERT_TRUE(settle([&] { return player->finished(); }));

    const auto starts = client->reports("start");
    const auto stops = client->reports("stop");
    ASSERT_EQ(starts.size(), 2u);
    ASSERT_EQ(stops.size(), 2u);
    EXPECT_EQ(starts[0].progress->ItemId, "item-0");
    EXPECT_EQ(starts[0].progress->MediaSourceId, "source-given");
    EXPECT_TRUE(starts[0].progress->NowPlayingQueue.has_value());
    EXPECT_EQ(starts[1].progress->ItemId, "item-1");
    EXPECT_EQ(starts[1].progress->PlaylistIndex, 1);
    EXPECT_EQ(starts[1].progress->MediaSourceId, "item-1");
    EXPECT_FALSE(starts[1].progress->NowPlayingQueue.has_value());
    EXPECT_EQ(stops[0].stop->ItemId, "item-0");
    EXPECT_EQ(stops[0].stop->MediaSourceId, "source-given");  // not the next item's source
    EXPECT_EQ(stops[0].stop->PositionTicks, 50'000'000);
    EXPECT_EQ(stops[0].stop->PlaylistIndex, 1);
    EXPECT_EQ(stops[1].stop->ItemId, "item-1");
    EXPECT_EQ(stops[1].stop->PositionTicks, 30'000'000);
    EXPECT_EQ(client->reports("progress", ProgressEvent::Pause).size(), 1u);
    EXPECT_EQ(client->reports("progress", ProgressEvent::Unpause).size(), 1u);
    // One time update at each start, then one a second: 0-5 s and 0-3 s.
    EXPECT_EQ(client->reports("progress", ProgressEvent::TimeUpdate).size(), 6u + 4u);
    const auto statements = web->statements();
    EXPECT_EQ(statements.back(), "MpvAudioPlayer.onEvent('ended');");
    for (const auto& result : runInNode(statements))
        EXPECT_TRUE(result.ok) << result.error;
}

TEST_F(SimulatedPlayerTest, ObeysTransportCommandsInRealTime) {
    SimulatedPlayer::Options options;
    options.timeUpdateInterval = std::chrono::milliseconds(20);
    options.pauseAtFraction.reset();
    attach(options);
    player->playAudio({track(0, 60), track(1, 60), track(2, 60)}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(settle([&] { return player->getCurrentStreamPosition() >= 100; }));

    player->pause();
    ASSERT_TRUE(settle([&] { return !player->isPlaying(); }));
    const auto held = player->getCurrentStreamPosition();
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(player->getCurrentStreamPosition(), held);
    player->unpause();
    ASSERT_TRUE(settle([&] { return player->getCurrentStreamPosition() > held; }));

    player->seek("30000");
    ASSERT_TRUE(settle([&] { return player->getCurrentStreamPosition() >= 30000; }));
    player->nextTrack();
    ASSERT_TRUE(settle([&] { return player->getCurrentPlaylistIndex() == 1; }));
    EXPECT_EQ(client->reports("stop").back().stop->ItemId, "item-0");
    player->prevTrack();  // early in the entry: the previous one
    ASSERT_TRUE(settle([&] { return player->getCurrentPlaylistIndex() == 0; }));
    player->setPosition(10000);
    ASSERT_TRUE(settle([&] { return player->getCurrentStreamPosition() >= 10000; }));
    player->prevTrack();  // late in the entry: back to its start
    ASSERT_TRUE(settle([&] { return player->getCurrentStreamPosition() < 1000; }));
    EXPECT_EQ(player->getCurrentPlaylistIndex(), 0);

    player->stop({});
    ASSERT_TRUE(settle([&] { return player->finished(); }));
    const auto last = client->reports("stop").back();
    EXPECT_TRUE(last.stop->NowPlayingQueue.has_value());  // shutdown reports the queue
    EXPECT_EQ(web->statements().back(), "MpvAudioPlayer.onEvent('shutdown');");
    EXPECT_TRUE(player->getCurrentQueue().empty());
}

TEST_F(SimulatedPlayerTest, QueueChangesAndRepeatModes) {
    SimulatedPlayer::Options options;
    options.fast = true;
    options.pauseAtFraction.reset();
    attach(options);
    player->setRepeatMode("RepeatOne");
    player->playAudio({track(0, 2)}, false, std::nullopt, 0, 0);
    // Repeat one keeps the entry playing while the queue changes around it.
    ASSERT_TRUE(settle([&] { return client->reports("start").size() >= 3; }));
    EXPECT_FALSE(player->finished());

    player->queueItems(MediaItem::mediaItemsToJson({track(1, 2), track(2, 2)}).value(), false);
    ASSERT_TRUE(settle([&] { return player->getCurrentQueue().size() == 3; }));
    // Queued items come back through their JSON, so compare by id.
    auto ids = [&] {
        std::vector<std::string> out;
        for (const auto& item : player->getCurrentQueue())
            out.push_back(item->ItemId.value_or("?"));
        return out;
    };
    player->movePlaylistItemFromIndex(2, 1);
    ASSERT_TRUE(settle([&] { return ids()[1] == "item-2"; }));
    EXPECT_EQ(web->statements().back(), "MpvAudioPlayer.onPlaylistItemMoved('', 1);");
    player->removeFromPlaylistAtIndex(2);
    ASSERT_TRUE(settle([&] { return ids().size() == 2; }));
    EXPECT_THAT(ids(), ::testing::ElementsAre("item-0", "item-2"));
    player->setRepeatMode("RepeatNone");
    ASSERT_TRUE(settle([&] { return player->finished(); }));
    EXPECT_EQ(client->reports("stop").back().stop->ItemId, "item-2");
}

}  // namespace
}  // namespace vk::test
