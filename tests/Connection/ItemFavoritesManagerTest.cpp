// Favourites by server id and item id, against the reference server and its generated library;
// and the bit-rate estimate reading the manager's bandwidth.
#include "VornKit/Connection/ItemFavoritesManager.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "ConnectionTestSupport.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Audio/AudioOutput.h"
#include "VornKit/Playback/RemoteControls.h"
#include "VornKit/Playback/SimulatedPlayer.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vk {
namespace {

constexpr const char* kToken = "tok-77aa88bb-reference";

/// Waits for a Boolean completion; notes whether it ran on the session's queue or inline.
struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    int calls = 0;
    bool value = false;
    bool onSessionQueue = false;
    std::thread::id thread;

    ItemFavoritesManager::Completion handler() {
        return [this](bool answer) {
            std::lock_guard lock(mutex);
            ++calls;
            value = answer;
            onSessionQueue = defaultSession()->delegateQueue()->isCurrent();
            thread = std::this_thread::get_id();
            done.notify_all();
        };
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(20), [&] { return calls > 0; });
    }
};

class ItemFavoritesManagerTest : public test::ConnectionFixture {
  protected:
    void SetUp() override {
        ConnectionFixture::SetUp();
        refserver::RefServer::Options options;
        options.accessToken = kToken;
        options.serverId = "ref";
        server_ = std::make_unique<refserver::RefServer>(options);
        refserver::LibraryOptions libraryOptions;
        libraryOptions.tracks = 20;
        libraryOptions.userId = "user-1";
        library_ = refserver::Library::install(*server_, libraryOptions);
        base_ = *server_->listen({"main", "127.0.0.1", 0, std::nullopt});

        manager_ = ConnectionManager::create();
        ServerInfo info;
        info.Id = "ref";
        info.Name = "Reference";
        info.AccessToken = kToken;
        info.UserId = "user-1";
        info.LocalAddress = base_;
        manager_->updateApiClients(std::vector<ServerInfo>{info});
        // A request made before the address is resolved fails (and starts the resolution).
        manager_->getApiClient("ref")->setServerAddress(base_);
        changes_ = NotificationCenter::defaultCenter().addObserver(
            std::string(ConnectionManager::kItemFavoritesDidChange), nullptr, nullptr,
            [this](const Notification& notification) {
                ++posted_;
                postedWithObject_ = notification.object.has_value();
            });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(changes_);
        server_.reset();
        ConnectionFixture::TearDown();
    }
    std::string firstTrack() const { return library_->ofType("Audio").front()->id; }

    std::unique_ptr<refserver::RefServer> server_;
    std::shared_ptr<refserver::Library> library_;
    std::string base_;
    std::shared_ptr<ConnectionManager> manager_;
    ObserverToken changes_ = 0;
    std::atomic<int> posted_{0};
    std::atomic<bool> postedWithObject_{false};
};

TEST_F(ItemFavoritesManagerTest, SwitchingOnAndOffPostsAndReadsBack) {
    const auto id = firstTrack();
    const bool before = library_->userState(id).isFavorite;
    for (bool favorite : {!before, before}) {
        Answer set;
        ItemFavoritesManager::setItemFavorite(*manager_, "ref", id, favorite, set.handler());
        ASSERT_TRUE(set.wait());
        EXPECT_EQ(set.value, favorite);
        EXPECT_TRUE(set.onSessionQueue);
        EXPECT_EQ(library_->userState(id).isFavorite, favorite);

        Answer is;
        ItemFavoritesManager::isItemFavorite(*manager_, "ref", id, is.handler());
        ASSERT_TRUE(is.wait());
        EXPECT_EQ(is.value, favorite);
        EXPECT_TRUE(is.onSessionQueue);
    }
    defaultSession()->delegateQueue()->sync([] {});
    EXPECT_EQ(posted_.load(), 2);
    EXPECT_FALSE(postedWithObject_.load());
}

TEST_F(ItemFavoritesManagerTest, EveryFailureIsFalseAndPostsNothing) {
    // No client for the server id: false at once, on this thread.
    Answer unknown;
    ItemFavoritesManager::setItemFavorite(*manager_, "nobody", firstTrack(), true,
                                          unknown.handler());
    EXPECT_EQ(unknown.calls, 1);
    EXPECT_FALSE(unknown.value);
    EXPECT_EQ(unknown.thread, std::this_thread::get_id());
    Answer unknownRead;
    ItemFavoritesManager::isItemFavorite(*manager_, "nobody", firstTrack(), unknownRead.handler());
    EXPECT_EQ(unknownRead.calls, 1);
    EXPECT_FALSE(unknownRead.value);

    // The server fails, or the item does not exist.
    server_->addFault({"", "/vorn/Users", "POST", refserver::Fault::withStatus(500), -1});
    Answer failed;
    ItemFavoritesManager::setItemFavorite(*manager_, "ref", firstTrack(), true, failed.handler());
    ASSERT_TRUE(failed.wait());
    EXPECT_FALSE(failed.value);
    server_->clearFaults();
    Answer missing;
    ItemFavoritesManager::isItemFavorite(*manager_, "ref", "no-such-item", missing.handler());
    ASSERT_TRUE(missing.wait());
    EXPECT_FALSE(missing.value);

    defaultSession()->delegateQueue()->sync([] {});
    EXPECT_EQ(posted_.load(), 0);
    EXPECT_EQ(failed.calls + missing.calls, 2);
}

// In a car, the like command of the remote controls reads and switches the server's favourite
// flag of the playing item through the favourites service.
TEST_F(ItemFavoritesManagerTest, TheInCarLikeCommandSwitchesTheServersFlag) {
    const auto id = firstTrack();
    Answer preset;
    ItemFavoritesManager::setItemFavorite(*manager_, "ref", id, true, preset.handler());
    ASSERT_TRUE(preset.wait() && preset.value);

    RemoteControls::Services services;
    services.nowPlayingCenter = NowPlayingCenter::make();
    services.commandCenter = RemoteCommandCenter::make();
    services.audioOutput = std::make_shared<NullAudioOutput>();
    services.favorites = RemoteFavorites::of(manager_);
    SimulatedPlayer::Options playerOptions;
    playerOptions.pauseAtFraction.reset();
    auto player = SimulatedPlayer::make(playerOptions);
    auto controls = RemoteControls::initWithPlayer(player, services);
    controls->setPlaybackContext("CarPlay");
    player->playAudio(
        {std::make_shared<MediaItem>("file:///track.wav", "Track", std::nullopt, std::nullopt,
                                     std::nullopt, "ref", id, "entry-1")},
        false, std::nullopt, 0, 0);
    auto center = services.commandCenter;
    ASSERT_TRUE(test::pumpMainQueueUntil([&] { return center->likeIsActive(); }));

    bool handled = false;
    ASSERT_TRUE(center->send({RemoteCommand::Like}, [&](RemoteCommandStatus) { handled = true; }));
    ASSERT_TRUE(test::pumpMainQueueUntil([&] { return handled && !center->likeIsActive(); }));
    EXPECT_TRUE(test::pumpMainQueueUntil([&] { return !library_->userState(id).isFavorite; }));
    player->stop({});
    controls->shutdown();
}

TEST_F(ItemFavoritesManagerTest, BitRateEstimateReadsTheManagersBandwidth) {
    auto monitor = std::make_shared<ManualNetworkMonitor>();
    NetworkPath lte;
    lte.reachable = true;
    lte.cellular = true;
    monitor->set(lte);
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    auto reachability = Reachability::withTarget(
        NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&zero), monitor),
        std::make_shared<FixedRadioInfo>(RadioAccessTechnology::LTE));
    manager_->reachabilityChanged(*reachability);

    server_->setEndpointInfo(false, false);
    auto client = manager_->getApiClient("ref");
    client->setServerAddress(base_);  // the network change cleared it
    std::atomic<std::int64_t> rate{0};
    client->detectBitrate([&](std::int64_t value) { rate = value; });
    ASSERT_TRUE(test::pumpMainQueueUntil([&] { return rate.load() != 0; }));
    EXPECT_EQ(rate.load(), 70'000'000);
}

}  // namespace
}  // namespace vk
