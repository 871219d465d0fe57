// The MPRIS service against real clients: playerctl and busctl on the session bus that `./vk test`
// starts (a private one of the test's own when there is none).
#include "VornKit/Platform/Media/MprisService.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "Support/DesktopServices.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

class MprisServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            bus_ = std::make_unique<PrivateSessionBus>();
        static std::atomic<int> serial{0};
        suffix_ = "vktest_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
        MprisService::Options options;
        options.busNameSuffix = suffix_;
        options.identity = "VornKit Test";
        service_ = MprisService::start(options, &error_);
        ASSERT_NE(service_, nullptr) << error_;
        // playerctl reads only players that can play.
        service_->commandCenter()->setEnabled(RemoteCommand::Play, true);
    }

    CommandResult playerctl(const std::string& arguments) {
        return runCommand("playerctl -p " + suffix_ + " " + arguments + " 2>&1");
    }
    CommandResult busctl(const std::string& arguments) {
        return runCommand("busctl --user -- " + arguments + " 2>&1");
    }
    std::string busctlTarget() { return service_->busName() + " /org/mpris/MediaPlayer2 "; }

    /// Attaches a recording handler to `command`.
    void record(RemoteCommand command) {
        service_->commandCenter()->addTarget(command, [this](const RemoteCommandEvent& event) {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            return RemoteCommandStatus::Success;
        });
    }
    std::vector<RemoteCommandEvent> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool waitForEvents(std::size_t count) {
        return pumpMainQueueUntil([&] { return events().size() >= count; });
    }

    NowPlayingInfo song() {
        NowPlayingInfo info;
        info.title = "Blue \"Moon\"\nlive";
        info.artist = "Ella";
        info.albumTitle = "Songs";
        info.playbackDuration = 245;
        info.elapsedPlaybackTime = 30;
        info.playbackRate = 1.0;
        info.itemIdentifier = "item-1";
        return info;
    }

    std::unique_ptr<PrivateSessionBus> bus_;
    std::string suffix_;
    std::string error_;
    std::shared_ptr<MprisService> service_;
    std::mutex mutex_;
    std::vector<RemoteCommandEvent> events_;
};

TEST_F(MprisServiceTest, PlayerctlSeesMetadataStatusPositionAndTheCoverFile) {
    // A player whose state was never set shows as stopped, not paused.
    EXPECT_EQ(playerctl("status").output, "Stopped");
    auto info = song();
    info.artwork = std::make_shared<const Image>(Image::filled(8, 4, 0x336699FF));
    service_->nowPlayingCenter()->setNowPlayingInfo(info);
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Playing);

    auto meta = playerctl("metadata --format '{{title}}|{{artist}}|{{album}}|{{mpris:length}}'");
    EXPECT_EQ(meta.output, "Blue \"Moon\"\nlive|Ella|Songs|245000000");
    EXPECT_EQ(playerctl("status").output, "Playing");
    EXPECT_EQ(playerctl("metadata mpris:trackid").output, "'/org/vornkit/track/item_2D1'");
    const double position = std::stod(playerctl("position").output);
    EXPECT_GE(position, 30.0);
    EXPECT_LT(position, 40.0);

    // The cover is a PNG file of the artwork.
    const std::string url = playerctl("metadata mpris:artUrl").output;
    ASSERT_EQ(url.rfind("file://", 0), 0u) << url;
    std::ifstream file(url.substr(7), std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    auto image = Image::decode(bytes.str());
    ASSERT_TRUE(image);
    EXPECT_EQ(*image, Image::filled(8, 4, 0x336699FF));

    // Paused: the status follows and the position stands still.
    info.elapsedPlaybackTime = 31;
    info.playbackRate = 0.0;
    service_->nowPlayingCenter()->setNowPlayingInfo(info);
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Paused);
    EXPECT_EQ(playerctl("status").output, "Paused");
    EXPECT_EQ(playerctl("position").output, "31.000000");

    // Nothing playing: no track, the cover file is gone.
    const auto coverFile = service_->artworkFile();
    service_->nowPlayingCenter()->setNowPlayingInfo(std::nullopt);
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Stopped);
    EXPECT_EQ(playerctl("status").output, "Stopped");
    EXPECT_FALSE(std::filesystem::exists(coverFile));
}

TEST_F(MprisServiceTest, InvalidUtf8AndNulAreReplacedAndTheConnectionSurvives) {
    auto info = song();
    info.title = std::string("bad \xC3\x28 \xED\xA0\x80 end\0x", 16);
    info.artist = "\xFF";
    service_->nowPlayingCenter()->setNowPlayingInfo(info);
    EXPECT_EQ(playerctl("metadata title").output,
              "bad \xEF\xBF\xBD( \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD end\xEF\xBF\xBDx");
    EXPECT_EQ(playerctl("metadata artist").output, "\xEF\xBF\xBD");
    // Still on the bus after the bad texts went out.
    service_->nowPlayingCenter()->setNowPlayingInfo(song());
    EXPECT_EQ(playerctl("metadata album").output, "Songs");
}

TEST_F(MprisServiceTest, EnabledCommandsReachTheirHandlersOnTheMainQueue) {
    auto center = service_->commandCenter();
    for (auto command :
         {RemoteCommand::TogglePlayPause, RemoteCommand::Pause, RemoteCommand::NextTrack,
          RemoteCommand::ChangePlaybackPosition, RemoteCommand::ChangeShuffleMode}) {
        center->setEnabled(command, true);
        record(command);
    }
    service_->nowPlayingCenter()->setNowPlayingInfo(song());
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Playing);

    EXPECT_EQ(playerctl("play-pause").status, 0);
    EXPECT_EQ(playerctl("next").status, 0);
    EXPECT_EQ(playerctl("position 30").status, 0);
    EXPECT_EQ(playerctl("shuffle On").status, 0);
    EXPECT_EQ(playerctl("shuffle Off").status, 0);
    ASSERT_TRUE(waitForEvents(5));
    auto seen = events();
    EXPECT_EQ(seen[0].command, RemoteCommand::TogglePlayPause);
    EXPECT_EQ(seen[1].command, RemoteCommand::NextTrack);
    EXPECT_EQ(seen[2].command, RemoteCommand::ChangePlaybackPosition);
    EXPECT_DOUBLE_EQ(seen[2].positionTime, 30.0);
    EXPECT_EQ(seen[3].command, RemoteCommand::ChangeShuffleMode);
    EXPECT_EQ(seen[3].shuffleType, RemoteShuffleType::Items);
    EXPECT_EQ(seen[4].shuffleType, RemoteShuffleType::Off);

    // A seek before the start goes to 0; SetPosition with another track's id is ignored.
    EXPECT_EQ(
        busctl("call " + busctlTarget() + "org.mpris.MediaPlayer2.Player Seek x -999000000").status,
        0);
    EXPECT_EQ(
        busctl("call " + busctlTarget() +
               "org.mpris.MediaPlayer2.Player SetPosition ox /org/vornkit/track/other 1000000")
            .status,
        0);
    EXPECT_EQ(busctl("call " + busctlTarget() +
                     "org.mpris.MediaPlayer2.Player SetPosition ox /org/vornkit/track/item_2D1 "
                     "2500000")
                  .status,
              0);
    ASSERT_TRUE(waitForEvents(7));
    seen = events();
    EXPECT_DOUBLE_EQ(seen[5].positionTime, 0.0);
    EXPECT_DOUBLE_EQ(seen[6].positionTime, 2.5);
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(events().size(), 7u);
}

TEST_F(MprisServiceTest, CommandsNotEnabledAreRefusedAndFlagsFollowTheEnabledSet) {
    auto center = service_->commandCenter();
    record(RemoteCommand::PreviousTrack);
    record(RemoteCommand::ChangeRepeatMode);
    record(RemoteCommand::Like);
    service_->nowPlayingCenter()->setNowPlayingInfo(song());

    EXPECT_EQ(playerctl("metadata --format '{{mpris:length}}'").status, 0);
    auto refused = busctl("call " + busctlTarget() + "org.mpris.MediaPlayer2.Player Previous");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("not enabled"), std::string::npos) << refused.output;
    EXPECT_NE(busctl("set-property " + busctlTarget() +
                     "org.mpris.MediaPlayer2.Player LoopStatus s Track")
                  .status,
              0);
    EXPECT_NE(busctl("call " + busctlTarget() + "org.vornkit.MediaPlayer2.Like Like").status, 0);
    EXPECT_NE(busctl("call " + busctlTarget() + "org.mpris.MediaPlayer2.Player Stop").status, 0);
    EXPECT_EQ(
        busctl("get-property " + busctlTarget() + "org.mpris.MediaPlayer2.Player CanGoPrevious")
            .output,
        "b false");

    center->setEnabled(RemoteCommand::PreviousTrack, true);
    center->setEnabled(RemoteCommand::ChangeRepeatMode, true);
    center->setEnabled(RemoteCommand::Like, true);
    center->setLikeShortTitle("Favorite");
    center->setLikeActive(true);
    EXPECT_EQ(
        busctl("get-property " + busctlTarget() + "org.mpris.MediaPlayer2.Player CanGoPrevious")
            .output,
        "b true");
    EXPECT_EQ(
        busctl("get-property " + busctlTarget() + "org.vornkit.MediaPlayer2.Like Liked").output,
        "b true");
    EXPECT_EQ(
        busctl("get-property " + busctlTarget() + "org.vornkit.MediaPlayer2.Like Title").output,
        "s \"Favorite\"");
    EXPECT_EQ(playerctl("metadata vornkit:liked").output, "true");
    EXPECT_EQ(playerctl("previous").status, 0);
    EXPECT_EQ(playerctl("loop Track").status, 0);
    EXPECT_EQ(busctl("call " + busctlTarget() + "org.vornkit.MediaPlayer2.Like Like").status, 0);
    ASSERT_TRUE(waitForEvents(3));
    auto seen = events();
    EXPECT_EQ(seen[0].command, RemoteCommand::PreviousTrack);
    EXPECT_EQ(seen[1].command, RemoteCommand::ChangeRepeatMode);
    EXPECT_EQ(seen[1].repeatType, RemoteRepeatType::One);
    EXPECT_EQ(seen[2].command, RemoteCommand::Like);

    center->setCurrentRepeatType(RemoteRepeatType::All);
    center->setCurrentShuffleType(RemoteShuffleType::Collections);
    EXPECT_EQ(playerctl("loop").output, "Playlist");
    EXPECT_EQ(playerctl("shuffle").output, "On");
}

TEST_F(MprisServiceTest, VolumeIsReadAndWrittenThroughTheCommandCentre) {
    auto center = service_->commandCenter();
    service_->nowPlayingCenter()->setNowPlayingInfo(song());
    // Without a volume handler a write is refused, and the volume reads as full while unknown.
    EXPECT_NE(playerctl("volume 0.5").status, 0);
    EXPECT_EQ(playerctl("volume").output, "1.000000");

    std::vector<double> asked;  // main queue only
    center->setVolumeHandler([&](double volume) { asked.push_back(volume); });
    EXPECT_EQ(playerctl("volume 0.5").status, 0);
    EXPECT_EQ(
        busctl("set-property " + busctlTarget() + "org.mpris.MediaPlayer2.Player Volume d -0.25")
            .status,
        0);
    EXPECT_EQ(busctl("set-property " + busctlTarget() + "org.mpris.MediaPlayer2.Player Volume d 7")
                  .status,
              0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return asked.size() == 3; }));
    EXPECT_EQ(asked, (std::vector<double>{0.5, 0.0, 1.0}));

    // What the player reports is what the desktop reads.
    center->setCurrentVolume(0.3);
    EXPECT_EQ(playerctl("volume").output, "0.300000");
    center->setVolumeHandler(nullptr);
    EXPECT_NE(playerctl("volume 0.8").status, 0);
}

TEST_F(MprisServiceTest, ChangesAreAnnouncedWithPropertiesChanged) {
    service_->nowPlayingCenter()->setNowPlayingInfo(song());
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Playing);
    // playerctl --follow prints the status once, then again on every PropertiesChanged.
    const std::string out = makeTempDir("follow") / "status";
    ChildProcess follow({"sh", "-c", "exec playerctl -p " + suffix_ + " --follow status > " + out});
    auto lines = [&] {
        std::ifstream in(out);
        std::vector<std::string> seen;
        for (std::string line; std::getline(in, line);)
            seen.push_back(line);
        return seen;
    };
    ASSERT_TRUE(pumpMainQueueUntil([&] { return lines().size() >= 1; }));
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Paused);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return lines().size() >= 2; }));
    service_->nowPlayingCenter()->setPlaybackState(NowPlayingPlaybackState::Playing);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return lines().size() >= 3; }));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Playing", "Paused", "Playing"}));
}

TEST_F(MprisServiceTest, ASecondServiceWithTheSameSuffixTakesAnInstanceName) {
    MprisService::Options options;
    options.busNameSuffix = suffix_;
    auto second = MprisService::start(options);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->busName(), service_->busName() + ".instance" + std::to_string(::getpid()));
    second.reset();
    EXPECT_EQ(playerctl("status").status, 0);
}

TEST_F(MprisServiceTest, DestroyingTheServiceWhileAnotherThreadPublishesIsSafeAndLeavesNoCover) {
    const auto covers = makeTempDir("covers");
    for (int round = 0; round < 30; ++round) {
        MprisService::Options options;
        options.busNameSuffix = suffix_ + "_gone" + std::to_string(round);
        options.artworkDirectory = covers;
        auto service = MprisService::start(options, &error_);
        ASSERT_NE(service, nullptr) << error_;
        const auto centre = service->nowPlayingCenter();
        std::atomic<int> updates{0};
        std::atomic<bool> stop{false};
        // New titles and covers, and a position that jumps back and forth (a Seeked each time).
        std::thread feeder([&] {
            for (std::uint32_t i = 0; !stop; ++i) {
                auto info = song();
                info.title = "take " + std::to_string(i);
                info.elapsedPlaybackTime = i % 2 ? 100 : 10;
                info.playbackRate = 0.0;
                info.artwork = std::make_shared<const Image>(Image::filled(4, 4, 0x10203040 + i));
                centre->setNowPlayingInfo(info);
                ++updates;
            }
        });
        auto waitFor = [&](int count) {
            for (int i = 0; i < 5000 && updates < count; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        waitFor(2 + round % 5);
        service.reset();
        // Changes after the end reach nothing.
        waitFor(updates + 3);
        stop = true;
        feeder.join();
        EXPECT_GE(updates, 5) << "round " << round;
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(covers))
        left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << left.size() << " covers left, first " << left.front();
    std::filesystem::remove_all(covers);
}

}  // namespace
}  // namespace vk::test
