// RemoteControls with the desktop doubles (now-playing and command centres, notification centre,
// audio output), and end to end: a SimulatedPlayer driven by playerctl over MPRIS.
#include "VornKit/Playback/RemoteControls.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sstream>
#include <thread>

#include "PlaybackTestSupport.h"
#include "Support/DesktopServices.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Media/MprisService.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Playback/RemotePlayer.h"
#include "VornKit/Playback/SimulatedPlayer.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

/// Records the commands RemoteControls gives it.
class CommandPlayer : public FakePlayer {
  public:
    bool local = true;
    std::vector<std::string> calls;
    bool isLocalPlayer() const override { return local; }
    void playPause() override { calls.push_back("playPause"); }
    void pause() override { calls.push_back("pause"); }
    void unpause() override { calls.push_back("unpause"); }
    void nextTrack() override { calls.push_back("nextTrack"); }
    void prevTrack() override { calls.push_back("prevTrack"); }
    void setPosition(std::optional<double> ms) override {
        calls.push_back("setPosition " + std::to_string(static_cast<long long>(ms.value_or(-1))));
    }
    void setShuffleOn(bool on) override { calls.push_back(on ? "shuffle on" : "shuffle off"); }
    void setRepeatMode(const std::string& mode) override { calls.push_back("repeat " + mode); }
};

std::string writePng(const std::filesystem::path& file, std::uint32_t colour) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << *Image::filled(4, 4, colour).pngData();
    return file.string();
}

class RemoteControlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        services.nowPlayingCenter = NowPlayingCenter::make();
        services.commandCenter = RemoteCommandCenter::make();
        services.notificationCenter = UserNotificationCenter::make();
        services.audioOutput = audio;
        services.favorites.setItemFavorite = [this](const std::string& server,
                                                    const std::string& item, bool favorite,
                                                    std::function<void(bool)> done) {
            favoriteCalls.push_back(server + "/" + item + (favorite ? " on" : " off"));
            done(favorite);
        };
        services.favorites.isItemFavorite = [](const std::string&, const std::string&,
                                               std::function<void(bool)> done) { done(true); };
        controls = RemoteControls::initWithPlayer(player, services);
    }

    std::optional<NowPlayingInfo> info() { return services.nowPlayingCenter->nowPlayingInfo(); }
    bool sendAndRun(RemoteCommandEvent event) {
        bool done = false;
        if (!services.commandCenter->send(event, [&](RemoteCommandStatus) { done = true; }))
            return false;
        return pumpMainQueueUntil([&] { return done; });
    }
    std::shared_ptr<MediaItem> item(std::optional<std::string> artist,
                                    std::optional<std::string> album,
                                    std::optional<std::string> cover = std::nullopt) {
        auto i = std::make_shared<MediaItem>(std::nullopt, "Title", album, artist, cover,
                                             "server-1", "item-1", "entry-1");
        return i;
    }
    std::vector<UserNotificationCenter::Shown> waitForNotifications(std::size_t count) {
        pumpMainQueueUntil([&] { return services.notificationCenter->shown().size() >= count; });
        return services.notificationCenter->shown();
    }

    std::shared_ptr<ManualAudioOutput> audio = std::make_shared<ManualAudioOutput>();
    std::shared_ptr<CommandPlayer> player = std::make_shared<CommandPlayer>();
    RemoteControls::Services services;
    std::vector<std::string> favoriteCalls;
    std::shared_ptr<RemoteControls> controls;
};

TEST_F(RemoteControlsTest, PublishesWholeSecondsAndTheQueuePlaceOnlyInsideTheQueue) {
    controls->updateNowPlayingInfo("A", "T", "X", 1999, 61'999, "", false, 3, 3);
    ASSERT_TRUE(info());
    EXPECT_EQ(info()->playbackDuration, 1.0);
    EXPECT_EQ(info()->elapsedPlaybackTime, 61.0);
    EXPECT_EQ(info()->playbackRate, 1.0);
    EXPECT_FALSE(info()->playbackQueueIndex);
    EXPECT_FALSE(info()->playbackQueueCount);
    EXPECT_EQ(services.nowPlayingCenter->playbackState(), NowPlayingPlaybackState::Playing);

    controls->updateNowPlayingInfo(std::nullopt, "T", "X", 1000,
                                   std::numeric_limits<double>::quiet_NaN(), "", true, 0, 1);
    EXPECT_FALSE(info()->artist);
    EXPECT_EQ(info()->elapsedPlaybackTime, 0.0);
    EXPECT_EQ(info()->playbackRate, 0.0);
    EXPECT_EQ(info()->playbackQueueIndex, 0);
    EXPECT_EQ(info()->playbackQueueCount, 1);
    EXPECT_EQ(services.nowPlayingCenter->playbackState(), NowPlayingPlaybackState::Paused);
    controls->updateNowPlayingInfo("A", "T", "X", 0, 0, "", false, -1, 2);
    EXPECT_FALSE(info()->playbackQueueIndex);

    // A duration past what 64 bits of milliseconds hold (a container may declare any) is held
    // at the end of the range, never turned negative.
    controls->updateNowPlayingInfo("A", "T", "X", 1e20, 0, "", false);
    ASSERT_TRUE(info()->playbackDuration);
    EXPECT_GT(*info()->playbackDuration, 9e15);

    controls->clearNowPlayingInfo();
    EXPECT_FALSE(info());
    EXPECT_EQ(services.nowPlayingCenter->playbackState(), NowPlayingPlaybackState::Stopped);
}

TEST_F(RemoteControlsTest, ACoverIsLoadedOnceAndACachedOneIsShownAtOnce) {
    const auto dir = makeTempDir("covers");
    const std::string a = "file://" + writePng(dir / "a.png", 0xFF0000FF);
    controls->updateNowPlayingInfo("A", "T", "X", 0, 0, a, false);
    controls->updateNowPlayingInfo("A", "T", "X", 0, 0, a, false);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return info() && info()->artwork; }));
    EXPECT_EQ(info()->artwork->pixel(0, 0), 0xFF0000FFu);
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(100));
    // Two publications and one load that completed: three settings of the information.
    EXPECT_EQ(services.nowPlayingCenter->updateCount(), 3u);

    controls->updateNowPlayingInfo("B", "T2", "Y", 0, 0, "", false);
    EXPECT_FALSE(info()->artwork);
    controls->updateNowPlayingInfo("A", "T", "X", 0, 0, a, false);
    ASSERT_TRUE(info()->artwork);  // from the cache, without waiting
    EXPECT_EQ(controls->imageCache().countLimit(), 15u);
}

TEST_F(RemoteControlsTest, ACoverThatArrivesAfterTheNextItemIsNotShownWithIt) {
    const auto dir = makeTempDir("covers");
    const std::string a = "file://" + writePng(dir / "late.png", 0x00FF00FF);
    controls->updateNowPlayingInfo("A", "First", "X", 0, 0, a, false);
    controls->updateNowPlayingInfo("B", "Second", "Y", 0, 0, "", false);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return controls->imageCache().object(a) != nullptr; }));
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(info()->title, "Second");
    EXPECT_FALSE(info()->artwork);
}

TEST_F(RemoteControlsTest, CoverLocations) {
    auto load = [&](const std::string& location) {
        // The completion runs on another thread.
        std::promise<std::shared_ptr<const Image>> loaded;
        auto result = loaded.get_future();
        controls->loadImageAsync(
            location, [&](std::shared_ptr<const Image> image) { loaded.set_value(image); });
        EXPECT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return result.get();
    };
    const auto documents = *Directories::documents();
    writePng(documents / "covers" / "a.jpg", 0x0000FFFF);
    // No scheme: the documents directory followed directly by the text.
    auto image = load("/covers/a.jpg");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixel(1, 1), 0x0000FFFFu);
    const auto dir = makeTempDir("covers");
    EXPECT_TRUE(load("file://" + writePng(dir / "b.png", 0xFFFFFFFF)));
    std::ofstream(dir / "text.png") << "not an image";
    EXPECT_FALSE(load("file://" + (dir / "text.png").string()));
    EXPECT_FALSE(load("file://" + (dir / "missing.png").string()));
    EXPECT_FALSE(load(""));
    EXPECT_FALSE(load("http://127.0.0.1:1/cover.png"));
}

TEST_F(RemoteControlsTest, CommandsDriveThePlayer) {
    for (auto command : {RemoteCommand::TogglePlayPause, RemoteCommand::Play, RemoteCommand::Pause,
                         RemoteCommand::NextTrack, RemoteCommand::PreviousTrack})
        ASSERT_TRUE(sendAndRun({command}));
    RemoteCommandEvent seek{RemoteCommand::ChangePlaybackPosition};
    seek.positionTime = 12.5;
    ASSERT_TRUE(sendAndRun(seek));
    seek.positionTime = -3;
    ASSERT_TRUE(sendAndRun(seek));
    seek.positionTime = std::numeric_limits<double>::infinity();
    ASSERT_TRUE(sendAndRun(seek));
    RemoteCommandEvent shuffle{RemoteCommand::ChangeShuffleMode};
    shuffle.shuffleType = RemoteShuffleType::Items;
    ASSERT_TRUE(sendAndRun(shuffle));
    EXPECT_EQ(services.commandCenter->currentShuffleType(), RemoteShuffleType::Collections);
    shuffle.shuffleType = RemoteShuffleType::Off;
    ASSERT_TRUE(sendAndRun(shuffle));
    EXPECT_EQ(services.commandCenter->currentShuffleType(), RemoteShuffleType::Off);
    EXPECT_EQ(player->calls,
              (std::vector<std::string>{"playPause", "unpause", "pause", "nextTrack", "prevTrack",
                                        "setPosition 12500", "setPosition 0", "shuffle on",
                                        "shuffle off"}));
    // Not in a car: no like, no repeat.
    EXPECT_FALSE(sendAndRun({RemoteCommand::Like}));
    EXPECT_FALSE(sendAndRun({RemoteCommand::ChangeRepeatMode}));
}

/// A player whose volume can be set, recording what it is set to.
class VolumePlayer : public CommandPlayer, public VolumeController {
  public:
    void setVolume(std::int64_t volume) override { volumes.push_back(volume); }
    void volumeUp() override {}
    void volumeDown() override {}
    std::vector<std::int64_t> volumes;
};

TEST_F(RemoteControlsTest, TheDesktopsVolumeRequestsDriveWhicheverPlayerServes) {
    auto center = services.commandCenter;
    // A player that takes no volume: requests are refused.
    EXPECT_FALSE(center->acceptsVolume());
    EXPECT_FALSE(center->sendVolume(0.5));

    auto native = std::make_shared<VolumePlayer>();
    controls->setPlayer(native);
    ASSERT_TRUE(center->sendVolume(0.375));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !native->volumes.empty(); }));
    EXPECT_EQ(native->volumes, std::vector<std::int64_t>{38});
    // The player's own report is what the desktop shows.
    controls->onVolumeChanged(25, 100);
    EXPECT_EQ(center->currentVolume(), 0.25);

    // The web player: the request becomes its volume statement; the volume shown is unknown
    // until it reports one.
    auto web = std::make_shared<WebViewRecorder>();
    auto remote = std::make_shared<RemotePlayer>(web, ManualAudioSession::make());
    controls->setPlayer(remote);
    EXPECT_EQ(center->currentVolume(), std::nullopt);
    ASSERT_TRUE(center->sendVolume(0.5));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !web->statements().empty(); }));
    EXPECT_EQ(
        web->statements(),
        std::vector<std::string>{"require(['playbackManager'], "
                                 "function(playbackManager){playbackManager.setVolume(50);});"});
    EXPECT_EQ(native->volumes.size(), 1u);

    // Gone with the controls: the centre takes no more requests.
    controls.reset();
    EXPECT_FALSE(center->sendVolume(0.5));
}

TEST_F(RemoteControlsTest, InACarLikeAndRepeatAreOffered) {
    controls->setPlaybackContext("CarPlay");
    EXPECT_TRUE(controls->isCarPlay());
    player->current = item("A", "X");
    controls->fileWillStart(std::nullopt, std::nullopt);
    EXPECT_EQ(services.commandCenter->likeShortTitle(), "Favorite");
    EXPECT_TRUE(services.commandCenter->likeIsActive());  // the favourites service said so
    ASSERT_TRUE(sendAndRun({RemoteCommand::Like}));
    EXPECT_EQ(favoriteCalls, std::vector<std::string>{"server-1/item-1 off"});
    EXPECT_FALSE(services.commandCenter->likeIsActive());
    RemoteCommandEvent repeat{RemoteCommand::ChangeRepeatMode};
    repeat.repeatType = RemoteRepeatType::One;
    ASSERT_TRUE(sendAndRun(repeat));
    repeat.repeatType = RemoteRepeatType::All;
    ASSERT_TRUE(sendAndRun(repeat));
    EXPECT_EQ(player->calls, (std::vector<std::string>{"repeat RepeatOne", "repeat RepeatAll"}));

    controls->onRepeatModeChanged("REPEATONE");
    EXPECT_EQ(services.commandCenter->currentRepeatType(), RemoteRepeatType::One);
    controls->onRepeatModeChanged("RepeatNone");
    EXPECT_EQ(services.commandCenter->currentRepeatType(), RemoteRepeatType::Off);

    // Out of the car (and no car audio route): both go away at the next file.
    controls->setPlaybackContext("");
    EXPECT_FALSE(controls->isCarPlay());
    audio->setCarAudio(true);
    EXPECT_TRUE(controls->isCarPlay());
    audio->setCarAudio(false);
    controls->fileWillStart(std::nullopt, std::nullopt);
    EXPECT_FALSE(services.commandCenter->isEnabled(RemoteCommand::Like));
    EXPECT_EQ(services.commandCenter->targetCount(RemoteCommand::ChangeRepeatMode), 0u);
}

TEST_F(RemoteControlsTest, AFavouriteAnswerForAnEarlierTrackDoesNotSetTheLikeState) {
    std::vector<std::pair<std::string, std::function<void(bool)>>> asked;
    services.favorites.isItemFavorite = [&](const std::string&, const std::string& id,
                                            std::function<void(bool)> done) {
        asked.emplace_back(id, std::move(done));
    };
    controls = RemoteControls::initWithPlayer(player, services);
    controls->setPlaybackContext("CarPlay");
    player->current = item("A", "X");
    controls->fileWillStart(std::nullopt, std::nullopt);
    player->current = item("A", "X");
    player->current->ItemId = "item-2";
    controls->fileWillStart(std::nullopt, std::nullopt);
    ASSERT_EQ(asked.size(), 2u);
    // The answers come back from the network's thread, the second track's first.
    std::thread([&] {
        asked[1].second(false);
        asked[0].second(true);
    }).join();
    bool drained = false;
    DispatchQueue::main()->async([&] { drained = true; });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return drained; }));
    EXPECT_FALSE(services.commandCenter->likeIsActive());
    ASSERT_TRUE(sendAndRun({RemoteCommand::Like}));
    EXPECT_EQ(favoriteCalls, std::vector<std::string>{"server-1/item-2 on"});
}

TEST_F(RemoteControlsTest, TheIdleOutputRunsOnlyWithARemotePlayer) {
    EXPECT_EQ(audio->idleOutputState(), IdleOutputState::None);  // a local player
    auto remote = std::make_shared<CommandPlayer>();
    remote->local = false;
    controls->setPlayer(remote);
    EXPECT_EQ(audio->idleOutputState(), IdleOutputState::Running);
    controls->setPlayer(player);
    EXPECT_EQ(audio->idleOutputState(), IdleOutputState::None);
    audio->setCreateFails(true);
    controls->setPlayer(remote);
    EXPECT_EQ(audio->idleOutputState(), IdleOutputState::None);
}

TEST_F(RemoteControlsTest, ANewItemShowsOneNotificationWithItsSubtitleAndCover) {
    const auto dir = makeTempDir("covers");
    const std::string cover = "file://" + writePng(dir / "c.png", 0x123456FF);
    player->current = item("A", "X", cover);
    player->current->ItemId = "../../escape";
    controls->updateNowPlayingInfo("A", "T", "X", 0, 0, cover, false);  // loads it into the cache
    ASSERT_TRUE(
        pumpMainQueueUntil([&] { return controls->imageCache().object(cover) != nullptr; }));
    controls->fileWillStart(std::nullopt, std::nullopt);
    auto shown = waitForNotifications(1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.identifier, "VORN_MUSIC");
    EXPECT_EQ(shown[0].request.title, "Title");
    EXPECT_EQ(shown[0].request.subtitle, "A - X");
    EXPECT_EQ(shown[0].request.delay, std::chrono::milliseconds(100));
    ASSERT_EQ(shown[0].request.attachments.size(), 1u);
    const auto file = shown[0].request.attachments[0].file;
    // The id cannot lead the file out of the application's own temporary folder.
    ASSERT_TRUE(Directories::temporary());
    EXPECT_EQ(file.parent_path(), *Directories::temporary());
    std::ifstream png(file, std::ios::binary);
    std::stringstream bytes;
    bytes << png.rdbuf();
    ASSERT_TRUE(Image::decode(bytes.str()));
    EXPECT_EQ(Image::decode(bytes.str())->pixel(0, 0), 0x123456FFu);

    player->current = item("   ", "X");
    controls->fileWillStart(std::nullopt, std::nullopt);
    player->current = item(std::nullopt, " ");
    controls->fileWillStart(std::nullopt, std::nullopt);
    shown = waitForNotifications(3);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[1].request.subtitle, "X");
    EXPECT_TRUE(shown[1].request.attachments.empty());
    EXPECT_EQ(shown[2].request.subtitle, "Now Playing");
    EXPECT_EQ(shown[2].replaced, shown[1].id);  // replaces instead of stacking

    // A link waiting at the cover's name is not written through: no attachment, the file it
    // points to unchanged.
    const auto victim = dir / "victim";
    std::ofstream(victim) << "keep me";
    std::filesystem::create_symlink(victim, *Directories::temporary() / "item-9.png");
    player->current = item("A", "X", cover);
    player->current->ItemId = "item-9";
    controls->fileWillStart(std::nullopt, std::nullopt);
    shown = waitForNotifications(4);
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_TRUE(shown[3].request.attachments.empty());
    std::ifstream kept(victim);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
}

TEST_F(RemoteControlsTest, NotificationPermissionIsAskedOnceAndDeniedShowsNothing) {
    ScopedLogCapture log;
    services.notificationCenter->setAuthorizationStatus(
        NotificationAuthorizationStatus::NotDetermined);
    player->current = item("A", "X");
    controls->fileWillStart(std::nullopt, std::nullopt);
    ASSERT_EQ(waitForNotifications(1).size(), 1u);
    EXPECT_EQ(services.notificationCenter->authorizationRequests(), 1u);

    services.notificationCenter->setAuthorizationStatus(NotificationAuthorizationStatus::Denied);
    controls->fileWillStart(std::nullopt, std::nullopt);
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(services.notificationCenter->shown().size(), 1u);
}

TEST_F(RemoteControlsTest, TimeUpdatesPublishOnceAfterAStartAndShutdownClearsEverything) {
    player->current = item("A", "X");
    controls->fileWillStart(std::nullopt, std::nullopt);
    const auto afterStart = services.nowPlayingCenter->updateCount();
    controls->onTimeUpdate(5'400);
    controls->onTimeUpdate(6'400);
    controls->onTimeUpdate(7'400);
    EXPECT_EQ(services.nowPlayingCenter->updateCount(), afterStart + 1);
    EXPECT_EQ(info()->elapsedPlaybackTime, 5.0);
    controls->playbackRestarted();
    controls->onTimeUpdate(9'000);
    EXPECT_EQ(info()->elapsedPlaybackTime, 9.0);
    controls->onPlaylistChanged({player->current, player->current});
    controls->playlistPositionChanged(1);
    EXPECT_EQ(info()->playbackQueueIndex, 1);
    EXPECT_EQ(info()->playbackQueueCount, 2);

    controls->shutdown();
    EXPECT_FALSE(info());
    EXPECT_FALSE(controls->registeredForCommands());
    EXPECT_FALSE(controls->currentItem());
    // Commands after shutdown are refused before they reach anything.
    EXPECT_FALSE(services.commandCenter->send({RemoteCommand::TogglePlayPause}));
    controls->onTimeUpdate(1'000);  // no item: nothing published
    EXPECT_FALSE(info());
}

// ---- end to end over MPRIS ----

std::shared_ptr<MediaItem> track(int n) {
    auto item = makeStreamItem("item-" + std::to_string(n), "entry-" + std::to_string(n));
    item->Title = "Track " + std::to_string(n);
    item->Artist = "Artist";
    item->Album = "Album";
    item->itemJson = R"({"Id":"item-)" + std::to_string(n) +
                     R"(","ServerId":"server-1","RunTimeTicks":600000000})";
    return item;
}

TEST(RemoteControlsMpris, PlayerctlReadsTheItemAndDrivesThePlayer) {
    std::unique_ptr<PrivateSessionBus> bus;
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        bus = std::make_unique<PrivateSessionBus>();
    MprisService::Options options;
    const std::string name = "vkrc_" + std::to_string(::getpid());
    options.busNameSuffix = name;
    auto mpris = MprisService::start(options);
    ASSERT_NE(mpris, nullptr);
    SimulatedPlayer::Options playerOptions;
    playerOptions.timeUpdateInterval = std::chrono::milliseconds(50);
    playerOptions.pauseAtFraction.reset();
    auto player = SimulatedPlayer::make(playerOptions);
    RemoteControls::Services services;
    services.nowPlayingCenter = mpris->nowPlayingCenter();
    services.commandCenter = mpris->commandCenter();
    services.audioOutput = std::make_shared<NullAudioOutput>();
    auto controls = RemoteControls::initWithPlayer(player, services);
    player->playAudio({track(0), track(1), track(2)}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return player->getCurrentStreamPosition() > 0; }));

    // playerctl runs on another thread while this one serves the main queue.
    auto playerctl = [&](const std::string& arguments) {
        CommandResult result;
        bool done = false;
        std::thread worker([&] {
            result = runCommand("playerctl -p " + name + " " + arguments + " 2>&1");
            DispatchQueue::main()->async([&] { done = true; });
        });
        pumpMainQueueUntil([&] { return done; }, std::chrono::seconds(20));
        worker.join();
        return result.output;
    };
    EXPECT_EQ(playerctl("metadata --format '{{title}}|{{artist}}|{{album}}|{{mpris:length}}'"),
              "Track 0|Artist|Album|60000000");
    EXPECT_EQ(playerctl("status"), "Playing");

    playerctl("play-pause");
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !player->isPlaying(); }));
    EXPECT_TRUE(pumpMainQueueUntil([&] { return playerctl("status") == "Paused"; }));

    playerctl("next");
    ASSERT_TRUE(pumpMainQueueUntil([&] { return player->getCurrentPlaylistIndex() == 1; }));
    EXPECT_TRUE(pumpMainQueueUntil([&] { return playerctl("metadata title") == "Track 1"; }));
    EXPECT_EQ(playerctl("metadata vornkit:queueIndex"), "1");

    playerctl("position 30");
    EXPECT_TRUE(pumpMainQueueUntil([&] { return player->getCurrentStreamPosition() >= 30'000; }));
    player->stop({});
    ASSERT_TRUE(pumpMainQueueUntil([&] { return player->finished(); }));
    EXPECT_TRUE(pumpMainQueueUntil([&] { return playerctl("status") == "Stopped"; }));
    EXPECT_NE(playerctl("next").find("No player"), std::string::npos);  // refused after shutdown
}

}  // namespace
}  // namespace vk::test
