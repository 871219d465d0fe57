// The event bridge reports through the connection manager's clients: the client registered for
// the item's server sends the reports, and the reference server records them.
#include <algorithm>

#include "Api/LibraryTestSupport.h"
#include "Playback/PlaybackTestSupport.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Platform/Secrets/MachineIdentity.h"
#include "VornKit/Platform/Secrets/MemorySecretStore.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

class PlayerEventHandlerConnectionTest : public LibraryServerTest {
  protected:
    void SetUp() override {
        LibraryServerTest::SetUp();
        SecretStore::install(std::make_shared<MemorySecretStore>());
        MachineIdentity::install(std::make_shared<FixedMachineIdentity>(
            Uuid::parse("0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F"), std::string("Test Machine")));
        manager_ = ConnectionManager::create();
        ServerInfo info = makeServerInfo(base_);
        manager_->updateApiClients(std::vector<ServerInfo>{info});
        ASSERT_TRUE(manager_->getApiClient("server-1"));
        manager_->getApiClient("server-1")->setServerAddress(base_);

        auto tracks = library_->ofType("Audio");
        ASSERT_GE(tracks.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            auto item = makeStreamItem(tracks[i]->id, "entry-" + std::to_string(i));
            player_->queue.push_back(item);
        }
        player_->current = player_->queue[0];
        player_->source = MediaSourceInfo(tracks[0]->id, std::nullopt);
        player_->position = 2500;
    }
    void TearDown() override {
        SecretStore::install(nullptr);
        MachineIdentity::install(nullptr);
    }

    std::vector<refserver::PlaybackReport> reportsTo(const std::string& endpoint) const {
        std::vector<refserver::PlaybackReport> matching;
        for (const auto& report : library_->reports()) {
            if (report.endpoint == endpoint)
                matching.push_back(report);
        }
        return matching;
    }

    std::shared_ptr<ConnectionManager> manager_;
    std::shared_ptr<FakePlayer> player_ = std::make_shared<FakePlayer>();
};

TEST_F(PlayerEventHandlerConnectionTest, ReportsGoThroughTheClientOfTheItemsServer) {
    auto handler = PlayerEventHandler::create({}, {}, manager_);
    handler->setPlayer(player_);
    handler->setCurrentMediaType(MediaType::Audio);
    handler->fileDidLoad();
    handler->playbackDidPause();
    handler->fileDidEnd();
    ASSERT_TRUE(eventually([&] { return reportsTo("Sessions/Playing/Stopped").size() == 1; }));
    ASSERT_TRUE(eventually([&] { return reportsTo("Sessions/Playing/Progress").size() == 1; }));
    // Each report is a request of its own: they may reach the server in any order.
    ASSERT_TRUE(eventually([&] { return reportsTo("Sessions/Playing").size() == 1; }));
    const auto starts = reportsTo("Sessions/Playing");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].itemId, *player_->queue[0]->ItemId);
    EXPECT_EQ(starts[0].positionTicks, 25'000'000);
    EXPECT_EQ(starts[0].playSessionId, "ps-" + *player_->queue[0]->ItemId);
    EXPECT_EQ(reportsTo("Sessions/Playing/Stopped")[0].itemId, *player_->queue[0]->ItemId);

    // An item of a server the manager has no client for is logged and not reported.
    library_->clearReports();
    auto stranger = makeStreamItem(*player_->queue[1]->ItemId, "entry-x", "server-unknown");
    player_->current = stranger;
    handler->fileDidLoad();
    EXPECT_EQ(log_->count("onPlaybackStarted Failed to get ApiClient for item!"), 1u);
    // A client the manager learns about later is found at the next report.
    ServerInfo other = makeServerInfo(base_);
    other.Id = "server-unknown";
    manager_->updateApiClients(std::vector<ServerInfo>{makeServerInfo(base_), other});
    manager_->getApiClient("server-unknown")->setServerAddress(base_);
    handler->fileDidLoad();
    ASSERT_TRUE(eventually([&] { return reportsTo("Sessions/Playing").size() == 1; }));
    EXPECT_EQ(reportsTo("Sessions/Playing")[0].itemId, *stranger->ItemId);
    handler->shutdown();
    ASSERT_TRUE(eventually([&] { return reportsTo("Sessions/Playing/Stopped").size() == 1; }));
}

}  // namespace
}  // namespace vk::test
