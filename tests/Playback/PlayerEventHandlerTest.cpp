#include "VornKit/Playback/PlayerEventHandler.h"

#include <cmath>
#include <limits>

#include "PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

using ::testing::ElementsAre;

class PresenterRecorder : public VideoPresenterDelegate {
  public:
    void attachPlayerView() override {
        attached += 1;
        onMain = DispatchQueue::main()->isCurrent();
    }
    void detachPlayerView() override {}
    int attached = 0;
    bool onMain = false;
};

class PlayerEventHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UserDefaults::standard()->remove("syncActive");
        for (int i = 0; i < 3; ++i) {
            queue.push_back(
                makeStreamItem("item-" + std::to_string(i), "entry-" + std::to_string(i)));
        }
        player->queue = queue;
        player->current = queue[0];
        player->source = MediaSourceInfo("source-0", std::nullopt);
        player->position = 1234;
        handler = PlayerEventHandler::create(web, presenter, [this](const std::string& id) {
            return id == "server-1" && clientsAvailable
                       ? std::static_pointer_cast<ApiClient>(client)
                       : nullptr;
        });
        handler->setPlayer(player);
        handler->setCurrentMediaType(MediaType::Audio);
    }

    bool syncActive() { return UserDefaults::standard()->boolean("syncActive"); }

    std::shared_ptr<WebViewRecorder> web = std::make_shared<WebViewRecorder>();
    std::shared_ptr<PresenterRecorder> presenter = std::make_shared<PresenterRecorder>();
    std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
    std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>();
    std::vector<std::shared_ptr<MediaItem>> queue;
    std::shared_ptr<PlayerEventHandler> handler;
    bool clientsAvailable = true;
};

// Statements -----------------------------------------------------------------------------------

TEST_F(PlayerEventHandlerTest, EveryStatementIsExactAndRunsInNodeWithTheValuesSent) {
    handler->onTimeUpdate(1500);
    handler->onCacheUpdate(0, 2500.5);
    handler->onDurationChanged(180000);
    handler->onSubtitleDelayChanged(-250);
    handler->onPlaybackRateChanged(1.25);
    handler->playbackDidPause();
    handler->playbackDidUnpause();
    handler->onVolumeChanged(42, 100);
    handler->onPlaylistItemRemoved(queue[1]);
    handler->onPlaylistItemMoved("entry-2", 0);
    handler->onRepeatModeChanged("RepeatAll");
    handler->fileWillStart(std::nullopt, std::nullopt);
    handler->onPlaylistChanged({queue[0], queue[1]});
    handler->setCurrentMediaType(MediaType::Video);
    handler->onDurationChanged(1e21);

    const auto statements = web->statements();
    EXPECT_THAT(
        statements,
        ElementsAre(
            "MpvAudioPlayer.onPropertyChange('time-pos', 1500.0);",
            "MpvAudioPlayer.onCacheUpdate(0.0, 2500.5);",
            "MpvAudioPlayer.onPropertyChange('duration', 180000.0);",
            "MpvAudioPlayer.onPropertyChange('sub-delay', -250.0);",
            "MpvAudioPlayer.onPropertyChange('speed', 1.25);",
            "MpvAudioPlayer.onPropertyChange('pause', true);",
            "MpvAudioPlayer.onPropertyChange('pause', false);",
            "MpvAudioPlayer.notifyVolumeChange(42, true);",
            "MpvAudioPlayer.onPlaylistItemRemoved('entry-1');",
            "MpvAudioPlayer.onPlaylistItemMoved('entry-2', 0);",
            "MpvAudioPlayer.onPropertyChange('repeat-mode', 'RepeatAll');",
            "MpvAudioPlayer.onEvent('start-file');",
            "MpvAudioPlayer.onPropertyChange('playlistItemId', 'entry-0');",
            "MpvAudioPlayer.onPropertyChange('playlist-pos', 0.0);",
            "MpvAudioPlayer.onPropertyChange('playlistItemId', 'entry-0');",
            R"(MpvAudioPlayer.onPlaylistChanged(["{\"Id\":\"item-0\",\"ServerId\":\"server-1\"}", )"
            R"("{\"Id\":\"item-1\",\"ServerId\":\"server-1\"}"]);)",
            "MpvVideoPlayer.onPropertyChange('duration', 1e+21);"));

    const auto results = runInNode(statements);
    ASSERT_EQ(results.size(), statements.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].ok) << statements[i] << ": " << results[i].error;
        EXPECT_EQ(results[i].calls.size(), 1u) << statements[i];
    }
    const JsCall& time = results[0].calls.at(0);
    EXPECT_EQ(time.object, "MpvAudioPlayer");
    EXPECT_EQ(time.method, "onPropertyChange");
    EXPECT_EQ(time.args.at(0).string, "time-pos");
    EXPECT_EQ(time.args.at(1).number, 1500.0);
    EXPECT_EQ(results[5].calls.at(0).args.at(1).kind, JsValue::Kind::Boolean);
    EXPECT_TRUE(results[5].calls.at(0).args.at(1).boolean);
    EXPECT_EQ(results[9].calls.at(0).args.at(1).number, 0);
    const JsCall& playlist = results[15].calls.at(0);
    ASSERT_EQ(playlist.args.at(0).kind, JsValue::Kind::Array);
    ASSERT_EQ(playlist.args.at(0).items.size(), 2u);
    EXPECT_EQ(playlist.args.at(0).items[1].string, *queue[1]->itemJson);
    EXPECT_EQ(results[16].calls.at(0).object, "MpvVideoPlayer");
    EXPECT_EQ(results[16].calls.at(0).args.at(1).number, 1e21);
}

TEST_F(PlayerEventHandlerTest, TextsAndNumbersReachTheWebPlayerUnchanged) {
    const auto texts = nastyTexts();
    std::vector<std::shared_ptr<MediaItem>> items;
    for (const auto& text : texts) {
        auto item = makeStreamItem("x", text);
        item->itemJson = text;
        items.push_back(item);
    }
    player->current = items[0];
    handler->onPlaylistChanged(items);
    for (const auto& item : items)
        handler->onPlaylistItemRemoved(item);
    for (const auto& text : texts)
        handler->onPlaylistItemMoved(text, -7);
    const std::vector<double> numbers = {0.1,           -0.0,     1e-7,
                                         123456789.125, 5e-324,   1.7976931348623157e308,
                                         std::nan(""),  HUGE_VAL, -HUGE_VAL};
    for (double number : numbers)
        handler->onTimeUpdate(number);

    const auto statements = web->statements();
    for (const auto& statement : statements) {
        EXPECT_EQ(statement.find_first_of("\n\r"), std::string::npos) << statement;
        EXPECT_EQ(statement.find("\xE2\x80\xA8"), std::string::npos) << statement;
        EXPECT_EQ(statement.find("\xE2\x80\xA9"), std::string::npos) << statement;
    }
    const auto results = runInNode(statements);
    ASSERT_EQ(results.size(), 2 + 2 * texts.size() + numbers.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i].ok) << statements[i] << ": " << results[i].error;
        ASSERT_EQ(results[i].calls.size(), 1u) << statements[i];
    }
    EXPECT_EQ(results[0].calls[0].args.at(1).string, texts[0]);
    const auto& sentList = results[1].calls[0].args.at(0).items;
    ASSERT_EQ(sentList.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(sentList[i].string, texts[i]) << i;
        EXPECT_EQ(results[2 + i].calls[0].args.at(0).string, texts[i]) << i;
        EXPECT_EQ(results[2 + texts.size() + i].calls[0].args.at(0).string, texts[i]) << i;
        EXPECT_EQ(results[2 + texts.size() + i].calls[0].args.at(1).number, -7);
    }
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const JsValue& value = results[2 + 2 * texts.size() + i].calls[0].args.at(1);
        if (std::isnan(numbers[i])) {
            EXPECT_TRUE(std::isnan(value.number));
        } else {
            EXPECT_EQ(value.number, numbers[i]);
            EXPECT_EQ(value.negativeZero, std::signbit(numbers[i]) && numbers[i] == 0);
        }
    }
}

TEST_F(PlayerEventHandlerTest, NoWebViewMeansNoStatementsButReportsStillGo) {
    auto orphan = PlayerEventHandler::create({}, {}, [this](const std::string&) { return client; });
    orphan->setPlayer(player);
    orphan->setCurrentMediaType(MediaType::Audio);
    orphan->fileDidLoad();
    orphan->playbackDidPause();
    EXPECT_EQ(client->reports("start").size(), 1u);
    EXPECT_EQ(client->reports("progress", ProgressEvent::Pause).size(), 1u);
    EXPECT_TRUE(web->statements().empty());
}

// Reports --------------------------------------------------------------------------------------

TEST_F(PlayerEventHandlerTest, StartAtPositionZeroCarriesTheWholeQueue) {
    player->playing = false;
    handler->fileDidLoad();
    auto starts = client->reports("start");
    ASSERT_EQ(starts.size(), 1u);
    const PlaybackProgressInfo& info = *starts[0].progress;
    EXPECT_TRUE(info.CanSeek);
    EXPECT_EQ(info.ItemId, "item-0");
    EXPECT_EQ(info.MediaSourceId, "source-0");
    EXPECT_EQ(info.PlaySessionId, "ps-item-0");
    EXPECT_TRUE(info.IsPaused);
    EXPECT_EQ(info.PlaylistIndex, 0);
    EXPECT_EQ(info.PlaylistLength, 3);
    EXPECT_EQ(info.PositionTicks, 12'340'000);
    EXPECT_EQ(info.EventName, ProgressEvent::StateChange);
    ASSERT_TRUE(info.NowPlayingQueue.has_value());
    EXPECT_THAT(*info.NowPlayingQueue, ElementsAre(QueueItem("item-0", "playlistItem0"),
                                                   QueueItem("item-1", "playlistItem1"),
                                                   QueueItem("item-2", "playlistItem2")));
    EXPECT_TRUE(handler->progressTimerActive());
}

TEST_F(PlayerEventHandlerTest, EndAndErrorStopWithoutQueueShutdownWithQueueAndResets) {
    handler->fileDidLoad();
    handler->onRepeatModeChanged("RepeatAll");
    handler->onTimeUpdate(5000);
    handler->fileDidEnd();
    auto stops = client->reports("stop");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_FALSE(stops[0].stop->NowPlayingQueue.has_value());
    EXPECT_EQ(stops[0].stop->PositionTicks, 50'000'000);
    EXPECT_EQ(stops[0].stop->ItemId, "item-0");
    EXPECT_TRUE(syncActive());
    EXPECT_FALSE(handler->progressTimerActive());
    EXPECT_EQ(handler->currentItem(), nullptr);

    handler->fileDidEndWithErrorCode(-13);
    ASSERT_EQ(client->reports("stop").size(), 2u);
    EXPECT_FALSE(client->reports("stop")[1].stop->NowPlayingQueue.has_value());

    handler->shutdown();
    stops = client->reports("stop");
    ASSERT_EQ(stops.size(), 3u);
    ASSERT_TRUE(stops[2].stop->NowPlayingQueue.has_value());
    EXPECT_EQ(stops[2].stop->NowPlayingQueue->size(), 3u);
    EXPECT_EQ(handler->currentPlaylistPos(), 0);
    EXPECT_EQ(handler->currentItem(), nullptr);
    EXPECT_EQ(handler->currentRepeatMode(), RepeatMode::RepeatNone);
    auto statements = web->statements();
    EXPECT_EQ(statements.back(), "MpvAudioPlayer.onEvent('shutdown');");
}

TEST_F(PlayerEventHandlerTest, VideoIsNeverReportedButTheWebPlayerHearsEverything) {
    handler->setCurrentMediaType(MediaType::Video);
    ScopedLogCapture log;
    handler->fileDidLoad();
    handler->onTimeUpdate(1000);
    handler->playbackDidPause();
    handler->onRepeatModeChanged("RepeatOne");
    handler->playlistPositionChanged(1);
    handler->fileDidEnd();
    handler->shutdown();
    EXPECT_TRUE(client->reports().empty());
    EXPECT_TRUE(log->messages("PlayerEventHandler").empty());
    EXPECT_EQ(web->statements().size(), 8u);
    EXPECT_TRUE(pumpMainQueueUntil([&] { return presenter->attached == 1; }));
    EXPECT_TRUE(presenter->onMain);
}

TEST_F(PlayerEventHandlerTest, AudioDoesNotAttachTheVideoView) {
    handler->fileDidLoad();
    RunLoop::main().drain();
    EXPECT_EQ(presenter->attached, 0);
}

TEST_F(PlayerEventHandlerTest, TimeUpdatesReportThePreviousPosition) {
    handler->fileDidLoad();  // position from the player: 1234 ms
    handler->onTimeUpdate(2000.9);
    handler->onTimeUpdate(3000);
    auto updates = client->reports("progress", ProgressEvent::TimeUpdate);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].progress->PositionTicks, 12'340'000);
    EXPECT_EQ(updates[1].progress->PositionTicks, 20'000'000);
    EXPECT_EQ(handler->currentPositionMs(), 3000);
    // Values no integer holds are kept at the ends of the range instead of overflowing.
    handler->onTimeUpdate(std::nan(""));
    EXPECT_EQ(handler->currentPositionMs(), 0);
    handler->onTimeUpdate(1e300);
    handler->onTimeUpdate(5);
    EXPECT_EQ(client->reports("progress").back().progress->PositionTicks,
              std::numeric_limits<std::int64_t>::max());
}

TEST_F(PlayerEventHandlerTest, PositionChangeStopsThePreviousItemOnlyWhenTheItemChanges) {
    handler->fileDidLoad();
    web->clear();
    handler->playlistPositionChanged(0);
    EXPECT_TRUE(client->reports("stop").empty());
    EXPECT_THAT(web->statements(),
                ElementsAre("MpvAudioPlayer.onPropertyChange('playlistItemId', 'entry-0');",
                            "MpvAudioPlayer.onPropertyChange('playlist-pos', 0.0);"));
    EXPECT_FALSE(syncActive());

    handler->playlistPositionChanged(1);
    auto stops = client->reports("stop");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].stop->ItemId, "item-0");
    EXPECT_EQ(stops[0].stop->PlaylistIndex, 1);
    EXPECT_TRUE(syncActive());
    EXPECT_EQ(handler->currentItem(), queue[1]);

    // Beyond the queue: the previous item stops, nothing becomes current.
    handler->playlistPositionChanged(7);
    EXPECT_EQ(client->reports("stop").size(), 2u);
    EXPECT_EQ(handler->currentItem(), nullptr);
    EXPECT_EQ(web->statements().back(), "MpvAudioPlayer.onPropertyChange('playlist-pos', 7.0);");
}

TEST_F(PlayerEventHandlerTest, RepeatModeChangesAreCaseBlindAndReportThePreviousMode) {
    handler->onRepeatModeChanged("RepeatOne");
    auto changes = client->reports("progress", ProgressEvent::RepeatModeChange);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].progress->RepeatMode, RepeatMode::RepeatNone);
    EXPECT_EQ(handler->currentRepeatMode(), RepeatMode::RepeatOne);

    handler->onRepeatModeChanged("REPEATALL");
    handler->onRepeatModeChanged("repeatall");
    EXPECT_EQ(client->reports("progress", ProgressEvent::RepeatModeChange).size(), 2u);
    EXPECT_EQ(web->statements().back(),
              "MpvAudioPlayer.onPropertyChange('repeat-mode', 'REPEATALL');");
    handler->onRepeatModeChanged("shuffle");  // anything else is RepeatNone
    EXPECT_EQ(handler->currentRepeatMode(), RepeatMode::RepeatNone);
}

TEST_F(PlayerEventHandlerTest, PlaySessionIdComesFromTheStreamUrlOrTheLocalId) {
    MediaItem remote;
    remote.Path =
        "HTTPS://SERVER.EXAMPLE/vorn/Audio/1/universal?UserId=u&PLAYSESSIONID=abc%20d&"
        "PlaySessionId=second";
    EXPECT_EQ(PlayerEventHandler::playSessionId(remote), "abc d");
    remote.Path = "https://server.example/vorn/Audio/1/universal?UserId=u";
    EXPECT_EQ(PlayerEventHandler::playSessionId(remote), std::nullopt);
    remote.Path = "http://server.example/a?PlaySessionId=";
    EXPECT_EQ(PlayerEventHandler::playSessionId(remote), "");
    MediaItem local("/music/a.flac", {}, {}, {}, {}, {}, {}, {});
    ASSERT_TRUE(local.localPlaySessionId.has_value());
    EXPECT_EQ(PlayerEventHandler::playSessionId(local), local.localPlaySessionId);

    // Without a session id the report is dropped without a word.
    player->current = std::make_shared<MediaItem>(*queue[0]);
    player->current->Path = "https://server.example/vorn/Audio/1/universal?UserId=u";
    player->queue[0] = player->current;
    ScopedLogCapture log;
    handler->fileDidLoad();
    handler->fileDidEnd();
    EXPECT_TRUE(client->reports().empty());
    EXPECT_TRUE(log->messages("PlayerEventHandler").empty());
}

TEST_F(PlayerEventHandlerTest, MissingInformationOrClientIsLoggedAndDropsTheReport) {
    ScopedLogCapture log;
    player->source.reset();
    handler->fileDidLoad();
    handler->fileDidEnd();
    EXPECT_TRUE(client->reports().empty());
    EXPECT_EQ(log->count("onPlaybackStarted missing required information for progress reporting!"),
              1u);
    EXPECT_EQ(log->count("onPlaybackStopped missing required information for progress reporting!"),
              1u);

    player->source = MediaSourceInfo("source-0", std::nullopt);
    clientsAvailable = false;
    handler->fileDidLoad();
    handler->playbackDidPause();
    EXPECT_EQ(log->count("onPlaybackStarted Failed to get ApiClient for item!"), 1u);
    EXPECT_EQ(log->count("reportPlaybackProgress Failed to get ApiClient for item!"), 1u);
    EXPECT_FALSE(handler->progressTimerActive());

    // A stop that finds no client keeps the timer and the item.
    clientsAvailable = true;
    handler->fileDidLoad();
    ASSERT_TRUE(handler->progressTimerActive());
    clientsAvailable = false;
    handler->fileDidEnd();
    EXPECT_EQ(log->count("onPlaybackStopped Failed to get ApiClient for item!"), 1u);
    EXPECT_TRUE(handler->progressTimerActive());
    EXPECT_EQ(handler->currentItem(), queue[0]);
    EXPECT_TRUE(client->reports("stop").empty());
}

TEST_F(PlayerEventHandlerTest, ProgressTimerTicksUntilAStopReportIsHandedOver) {
    handler->setProgressInterval(std::chrono::milliseconds(20));
    handler->fileDidLoad();
    ASSERT_TRUE(pumpMainQueueUntil(
        [&] { return client->reports("progress", ProgressEvent::TimeUpdate).size() >= 3; }));
    handler->fileDidEnd();
    const auto ticks = client->reports("progress", ProgressEvent::TimeUpdate).size();
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(client->reports("progress", ProgressEvent::TimeUpdate).size(), ticks);
}

TEST_F(PlayerEventHandlerTest, AStopBeforeTheTimerIsCreatedCancelsIt) {
    handler->setProgressInterval(std::chrono::milliseconds(10));
    handler->fileDidLoad();  // schedules the creation on the main queue
    handler->fileDidEnd();   // stops before that ran
    EXPECT_FALSE(handler->progressTimerActive());
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(handler->progressTimerActive());
    EXPECT_TRUE(client->reports("progress").empty());
}

TEST_F(PlayerEventHandlerTest, BecomingActiveResendsQueueAndPosition) {
    player->index = 1;
    NotificationCenter::defaultCenter().post(
        std::string(Notifications::kApplicationDidBecomeActive));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() >= 4; }));
    auto statements = web->statements();
    ASSERT_EQ(statements.size(), 4u);
    EXPECT_EQ(statements[0], "MpvAudioPlayer.onPropertyChange('playlistItemId', 'entry-0');");
    EXPECT_EQ(statements[1].rfind("MpvAudioPlayer.onPlaylistChanged([", 0), 0u);
    EXPECT_EQ(statements[2], "MpvAudioPlayer.onPropertyChange('playlistItemId', 'entry-1');");
    EXPECT_EQ(statements[3], "MpvAudioPlayer.onPropertyChange('playlist-pos', 1.0);");

    web->clear();
    player->media = false;
    handler->handleAppDidBecomeActive();
    player->media = true;
    player->index = 3;  // outside the queue
    handler->handleAppDidBecomeActive();
    EXPECT_TRUE(web->statements().empty());
}

}  // namespace
}  // namespace vk::test
