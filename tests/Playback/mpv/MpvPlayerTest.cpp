// MpvPlayer against the reference server: libmpv plays the server's WAV streams with the null audio
// output, the event bridge reports through a real client, and the server records the reports.
#include "VornKit/Mpv/MpvPlayer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Api/LibraryTestSupport.h"
#include "Playback/HostSequences.h"
#include "Playback/PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Api/ApiClient.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

/// Keeps the name of every listener call, with the playlist index or path where there is one.
class EventLog : public PlayerEventDelegate {
  public:
    void fileWillStart(const std::optional<std::string>& path,
                       const std::optional<std::string>&) override {
        add("fileWillStart " + path.value_or(""));
    }
    void fileDidLoad() override { add("fileDidLoad"); }
    void fileDidEnd() override { add("fileDidEnd"); }
    void fileDidEndWithErrorCode(std::int32_t) override { add("fileDidEndWithErrorCode"); }
    void playlistPositionChanged(std::int32_t index) override {
        add("playlistPositionChanged " + std::to_string(index));
    }
    void playbackDidPause() override { add("playbackDidPause"); }
    void playbackDidUnpause() override { add("playbackDidUnpause"); }
    void shutdown() override { add("shutdown"); }
    void onVolumeChanged(std::int64_t volume, std::int64_t) override {
        add("onVolumeChanged " + std::to_string(volume));
    }
    void onRepeatModeChanged(const std::string& mode) override {
        add("onRepeatModeChanged " + mode);
    }
    void onTimeUpdate(double ms) override {
        std::lock_guard lock(mutex_);
        lastTimeMs_ = ms;
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// Events named `name` (with or without an argument after it).
    std::size_t count(const std::string& name) const {
        std::size_t n = 0;
        for (const auto& e : events())
            n += e == name || e.rfind(name + " ", 0) == 0 ? 1 : 0;
        return n;
    }
    double lastTimeMs() const {
        std::lock_guard lock(mutex_);
        return lastTimeMs_;
    }

  private:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    double lastTimeMs_ = -1;
};

class MpvPlayerTest : public LibraryServerTest {
  protected:
    void SetUp() override {
        LibraryServerTest::SetUp();
        auto tracks = library_->ofType("Audio");
        std::sort(tracks.begin(), tracks.end(),
                  [](auto* a, auto* b) { return a->audioSeconds < b->audioSeconds; });
        tracks_ = tracks;
    }

    /// A player without listeners.
    static std::shared_ptr<MpvPlayer> makeEngine(
        double speed, std::vector<std::pair<std::string, std::string>> extra = {}) {
        MpvPlayer::Options options;
        options.audioOutput = "null";
        options.extraOptions = {{"speed", std::to_string(speed)}, {"network-timeout", "10"}};
        options.extraOptions.insert(options.extraOptions.end(), extra.begin(), extra.end());
        auto player = MpvPlayer::create(options);
        EXPECT_TRUE(player->isInitialized());
        return player;
    }

    /// A player with the event bridge reporting to the server, and the event log, attached.
    std::shared_ptr<MpvPlayer> makePlayer(
        double speed = 8, std::vector<std::pair<std::string, std::string>> extra = {}) {
        auto player = makeEngine(speed, std::move(extra));
        handler_ = PlayerEventHandler::create(web_, {}, [this](const std::string& id) {
            return id == "server-1" ? client_ : nullptr;
        });
        handler_->setCurrentMediaType(MediaType::Audio);
        handler_->setPlayer(player);
        player->addDelegate(handler_);
        player->addDelegate(events_);
        return player;
    }

    std::shared_ptr<MediaItem> itemFor(const refserver::LibraryItem& track, int index) {
        BaseItemDto dto;
        dto.Id = track.id;
        auto url =
            client_->getAudioStreamURL(dto, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                       std::nullopt, std::nullopt, std::nullopt, 0, false);
        EXPECT_TRUE(url.has_value());
        auto item = std::make_shared<MediaItem>(url->absoluteString(), track.name, track.album,
                                                track.artist, std::nullopt, "server-1", track.id,
                                                "playlistItem" + std::to_string(index));
        item->itemJson = library_->itemJson(track, false);
        return item;
    }

    /// Items for the tracks `first` to `first + count - 1` (shortest first).
    Queue itemsFor(std::size_t first, std::size_t count) {
        Queue items;
        for (std::size_t i = 0; i < count; ++i)
            items.push_back(itemFor(*tracks_[first + i], static_cast<int>(first + i)));
        return items;
    }
    std::int64_t lengthMs(std::size_t track) const { return tracks_[track]->audioSeconds * 1000LL; }

    bool waitFor(const std::function<bool()>& condition, int seconds = 30) {
        return pumpMainQueueUntil(condition, std::chrono::seconds(seconds));
    }
    std::vector<refserver::PlaybackReport> reportsTo(const std::string& endpoint) const {
        std::vector<refserver::PlaybackReport> matching;
        for (const auto& report : library_->reports()) {
            if (report.endpoint == endpoint)
                matching.push_back(report);
        }
        return matching;
    }

    std::vector<const refserver::LibraryItem*> tracks_;
    std::shared_ptr<WebViewRecorder> web_ = std::make_shared<WebViewRecorder>();
    std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>();
    std::shared_ptr<PlayerEventHandler> handler_;
};

TEST_F(MpvPlayerTest, PlaysTwoTracksAndTheServerRecordsStartProgressAndStop) {
    auto player = makePlayer();
    const auto& first = *tracks_[1];
    const auto& second = *tracks_[0];
    const std::int64_t startMs = (first.audioSeconds - 4) * 1000LL;
    const std::vector<std::shared_ptr<MediaItem>> items = {itemFor(first, 0), itemFor(second, 1)};
    player->playAudio(items, false, MediaSourceInfo(first.id, std::nullopt), 0, startMs);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileDidEnd") == 1; }));
    ASSERT_TRUE(waitFor([&] { return reportsTo("Sessions/Playing/Stopped").size() == 2; }));

    EXPECT_THAT(events_->events(),
                ::testing::IsSupersetOf(
                    {"fileWillStart " + *items[0]->Path, "fileWillStart " + *items[1]->Path,
                     std::string("playlistPositionChanged 1"), std::string("fileDidEnd")}));
    EXPECT_EQ(events_->count("fileDidLoad"), 2u);

    const auto starts = reportsTo("Sessions/Playing");
    const auto stops = reportsTo("Sessions/Playing/Stopped");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].itemId, first.id);
    EXPECT_EQ(starts[1].itemId, second.id);
    // The first starts where it was asked to, each stops at its end (within one time update).
    ASSERT_TRUE(starts[0].positionTicks.has_value());
    EXPECT_NEAR(static_cast<double>(*starts[0].positionTicks), startMs * 1e4, 0.6e7);
    EXPECT_EQ(stops[0].itemId, first.id);
    EXPECT_EQ(stops[1].itemId, second.id);
    ASSERT_TRUE(stops[0].positionTicks && stops[1].positionTicks);
    EXPECT_NEAR(static_cast<double>(*stops[0].positionTicks), first.runTimeTicks, 1.5e7);
    EXPECT_NEAR(static_cast<double>(*stops[1].positionTicks), second.runTimeTicks, 1.5e7);
    EXPECT_NE(starts[0].body.find("\"NowPlayingQueue\":[{\"Id\":\"" + first.id +
                                  "\",\"PlaylistItemId\":\"playlistItem0\"}"),
              std::string::npos)
        << starts[0].body;
    EXPECT_NE(starts[1].body.find("\"PlaylistIndex\":1"), std::string::npos);
    EXPECT_NE(stops[0].body.find("\"MediaSourceId\":\"" + first.id + "\""), std::string::npos);
    EXPECT_FALSE(reportsTo("Sessions/Playing/Progress").empty());
    for (const auto& report : library_->reports()) {
        EXPECT_FALSE(report.playSessionId.empty()) << report.body;
    }
    // The server counts the second track as played.
    EXPECT_TRUE(library_->userState(second.id).played);

    const auto statements = web_->statements();
    for (const auto& result : runInNode(statements))
        EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(statements.back(), "MpvAudioPlayer.onEvent('ended');");
}

TEST_F(MpvPlayerTest, AStreamThatFailsIsReportedAndTheQueueGoesOn) {
    auto player = makePlayer();
    const auto& good = *tracks_[0];
    auto missing = itemFor(good, 0);
    missing->ItemId = "no-such-item";
    missing->Path = base_ + "/vorn/Audio/no-such-item/universal?api_key=token-abc&PlaySessionId=7";
    player->playAudio({missing, itemFor(good, 1)}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileDidEnd") == 1; }));
    EXPECT_EQ(events_->count("fileDidEndWithErrorCode"), 1u);
    EXPECT_EQ(events_->count("fileDidLoad"), 1u);
    ASSERT_TRUE(waitFor([&] { return reportsTo("Sessions/Playing/Stopped").size() == 2; }));
    EXPECT_EQ(reportsTo("Sessions/Playing/Stopped")[0].itemId, "no-such-item");
    EXPECT_EQ(reportsTo("Sessions/Playing").size(), 1u);
    const auto statements = web_->statements();
    EXPECT_NE(std::find(statements.begin(), statements.end(), "MpvAudioPlayer.onEvent('error');"),
              statements.end());
}

TEST_F(MpvPlayerTest, AServerThatCutsTheStreamEndsTheItemOnce) {
    server_->addFault({"", "/vorn/Audio", "GET", refserver::Fault::reset(), -1});
    // libmpv's default retries a cut stream for about ten seconds before it gives up the same way.
    auto player = makePlayer(8, {{"stream-lavf-o", "reconnect=0"}});
    player->playAudio({itemFor(*tracks_[0], 0)}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] {
        return events_->count("fileDidEnd") + events_->count("fileDidEndWithErrorCode") >= 1;
    }));
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(events_->count("fileDidEnd") + events_->count("fileDidEndWithErrorCode"), 1u)
        << ::testing::PrintToString(events_->events());
    ASSERT_TRUE(waitFor([&] { return reportsTo("Sessions/Playing/Stopped").size() == 1; }));
}

TEST_F(MpvPlayerTest, FollowsQueueChangesAndCommands) {
    auto player = makePlayer(1);
    std::vector<std::shared_ptr<MediaItem>> items;
    for (int i = 0; i < 3; ++i)
        items.push_back(itemFor(*tracks_[static_cast<std::size_t>(i)], i));
    player->playAudio(items, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileDidLoad") == 1; }));

    player->pause();
    ASSERT_TRUE(waitFor([&] { return events_->count("playbackDidPause") == 1; }));
    EXPECT_FALSE(player->isPlaying());
    player->unpause();
    ASSERT_TRUE(waitFor([&] { return events_->count("playbackDidUnpause") == 1; }));
    player->setPosition(5000);
    ASSERT_TRUE(waitFor([&] { return events_->lastTimeMs() >= 5000; }));
    EXPECT_GE(player->getCurrentStreamPosition(), 5000);
    player->setVolume(40);
    ASSERT_TRUE(waitFor([&] { return events_->count("onVolumeChanged 40") == 1; }));
    player->setRepeatMode("RepeatAll");
    ASSERT_TRUE(waitFor([&] { return events_->count("onRepeatModeChanged RepeatAll") == 1; }));

    // Move the last entry behind the current one: it plays next.
    player->movePlaylistItemFromIndex(2, 1);
    EXPECT_EQ(player->getItemAtPosition(1), items[2]);
    player->nextTrack();
    ASSERT_TRUE(waitFor([&] { return events_->count("fileWillStart") == 2; }));
    EXPECT_EQ(events_->events().back(), "playlistPositionChanged 1");
    EXPECT_EQ(player->currentMediaItem(), items[2]);
    // Removing the current entry plays the one after it, at the same index.
    player->removeFromPlaylistAtIndex(1);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileWillStart") == 3; }));
    EXPECT_EQ(player->currentMediaItem(), items[1]);
    EXPECT_EQ(player->getCurrentQueue(), (std::vector{items[0], items[1]}));
    // The web player hears of the removal on its own queue, possibly after the next file started.
    const std::string removed = "MpvAudioPlayer.onPlaylistItemRemoved('playlistItem2');";
    EXPECT_TRUE(waitFor([&] {
        auto statements = web_->statements();
        return std::find(statements.begin(), statements.end(), removed) != statements.end();
    })) << removed;
    // The entry that was removed got its stop report when the next one started.
    ASSERT_TRUE(waitFor([&] { return reportsTo("Sessions/Playing/Stopped").size() == 2; }));
    EXPECT_EQ(reportsTo("Sessions/Playing/Stopped")[1].itemId, items[2]->ItemId);

    player->stop({});
    ASSERT_TRUE(waitFor([&] { return events_->count("shutdown") == 1; }));
    EXPECT_TRUE(player->getCurrentQueue().empty());
    EXPECT_FALSE(player->hasMedia());
}

TEST_F(MpvPlayerTest, APlayerDestroyedDuringAReportCompletesItOnce) {
    server_->addFault({"", "/vorn/Sessions/Playing", "POST",
                       refserver::Fault::delayBy(std::chrono::milliseconds(400)), -1});
    ScopedLogCapture capture;
    auto player = makePlayer();
    player->playAudio({itemFor(*tracks_[0], 0)}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileDidLoad") == 1; }));
    player.reset();
    handler_.reset();
    ASSERT_TRUE(waitFor([&] {
        for (const auto& message : capture->messages("ApiClient"))
            if (message.rfind("reportPlaybackStart response: ", 0) == 0)
                return true;
        return false;
    }));
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(200));
    std::size_t answers = 0;
    for (const auto& message : capture->messages("ApiClient"))
        answers += message.rfind("reportPlaybackStart response: ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(answers, 1u);
}

TEST_F(MpvPlayerTest, EachNewQueueStartsAfresh) {
    auto player = makeEngine(2);
    BridgedPlayer rig(player, *player);
    expectEachNewQueueStartsAfresh(rig, itemsFor(0, 3), itemsFor(3, 2), lengthMs(4) - 1'000);
}

TEST_F(MpvPlayerTest, ANewQueueAfterAPauseUnpauses) {
    auto player = makeEngine(1);
    BridgedPlayer rig(player, *player);
    expectANewQueueAfterAPauseUnpauses(rig, itemsFor(0, 1), itemsFor(1, 1));
}

TEST_F(MpvPlayerTest, EachRepetitionIsAPlayOfItsOwn) {
    auto player = makeEngine(2);
    BridgedPlayer rig(player, *player);
    // Time updates come a second apart, but the end of a play is reported at the file's length.
    expectEachRepetitionIsAPlayOfItsOwn(rig, itemsFor(0, 2), lengthMs(0) - 1'000, lengthMs(0), 50);
}

// A host may pass on what its web interface asks for: commands that run programs, load scripts or
// write files never reach libmpv.
TEST_F(MpvPlayerTest, ExecuteRunsPlayerControlsOnlyAndNoProgram) {
    auto player = makePlayer(1);
    player->playAudio(itemsFor(0, 1), false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return events_->count("fileDidLoad") == 1; }));
    const auto dir = makeTempDir("execute");
    const auto script = dir / "script.sh";
    const auto ran = dir / "ran";
    std::ofstream(script) << "#!/bin/sh\ntouch '" << ran.string() << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    ScopedLogCapture capture;
    player->execute("run", script.string());
    player->execute("run", std::string("/bin/sh"));
    player->execute("load-script", script.string());
    player->execute("screenshot-to-file", (dir / "shot.png").string());
    player->execute("write-watch-later-config", {});
    // A script that ran would have created its file within this time.
    EXPECT_FALSE(pumpMainQueueUntil([&] { return std::filesystem::exists(ran); },
                                    std::chrono::milliseconds(500)));
    player->execute("quit", {});
    player->execute("cycle", std::string("ytdl"));
    player->execute("volume", std::string("50; run x"));
    EXPECT_EQ(capture->messages("MpvPlayer").size(), 8u);
    EXPECT_EQ(capture->count("refused the command run"), 2u);

    // What a player's controls need is carried out.
    player->execute("volume", 30);
    ASSERT_TRUE(waitFor([&] { return events_->count("onVolumeChanged 30") == 1; }));
    player->execute("speed", std::string("1.5"));
    ASSERT_TRUE(waitFor([&] {
        const auto statements = web_->statements();
        return std::find(statements.begin(), statements.end(),
                         "MpvAudioPlayer.onPropertyChange('speed', 1.5);") != statements.end();
    }));
    player->execute("mute", true);
    player->execute("sid", std::string("no"));
    EXPECT_EQ(capture->messages("MpvPlayer").size(), 8u) << "controls are not refused";
    EXPECT_TRUE(player->hasMedia()) << "quit was refused";
}

TEST(MpvPlayerOptions, ARefusedOptionLeavesAnUninitialisedPlayerThatDoesNothing) {
    MpvPlayer::Options options;
    options.audioOutput = "null";
    options.extraOptions = {{"no-such-option", "1"}};
    auto player = MpvPlayer::create(options);
    EXPECT_FALSE(player->isInitialized());
    player->playAudio({std::make_shared<MediaItem>()}, false, std::nullopt, 0, 0);
    player->pause();
    player->stop({});
    EXPECT_FALSE(player->hasMedia());
    EXPECT_TRUE(player->getCurrentQueue().empty());
}

}  // namespace
}  // namespace vk::test
