// ApiClientEx: playback of downloaded items ("local:" ids) stays local — resume positions and
// played state on the stored item (one save, nothing lost), offline actions on stop — and the
// queued actions reach the server through reportOfflineActions.
#include "VornKit/Offline/ApiClientEx.h"

#include <simdjson.h>
#include <sqlite3.h>
#include <future>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace vk {
namespace {

class ApiClientExTest : public ::testing::Test {
  protected:
    fs::path root_ = test::makeTempDir("clientex");
    OfflineDataController::Locations where_{root_ / "group", root_ / "documents"};
    std::shared_ptr<OfflineDataController> store_;
    std::shared_ptr<ApiClientEx> client_;
    test::ScopedLogCapture log_;

    void SetUp() override {
        fs::create_directories(root_ / "group");
        fs::create_directories(root_ / "documents");
        store_ = std::make_shared<OfflineDataController>(where_);
        ServerInfo info;
        info.Id = "s1";
        info.Name = "Server";
        info.AccessToken = "t";
        info.UserId = "u1";
        // No address: anything sent to the server would log "Error: Server address not set".
        client_ = std::make_shared<ApiClientEx>(
            info, DeviceInfo("d", std::string("n"), std::string("1"), "Vorn"), store_);
    }

    /// A downloaded item "x" of server "s1" whose record is built from `json` fields.
    void stored(const std::string& json) {
        auto [decoder, context] = store_->getManagedObjectDecoder();
        auto item = decoder.decode<std::shared_ptr<BaseItemDto>>(R"({"Id":"x","ServerId":"s1",)" +
                                                                 json + "}");
        ASSERT_TRUE(item) << item.error().description();
        auto local = store_->insertNewLocalItem();
        local->itemId = "x";
        local->serverId = "s1";
        local->setSyncJobStatus(SyncJobStatus::Completed);
        local->item = *item;
        store_->saveChanges();
    }
    /// What a new process would read from the store file.
    std::optional<UserItemDataDto> savedUserData() {
        OfflineDataController reopened(where_);
        auto local = reopened.getLocalItemWith("s1", "x");
        return local && local->item ? local->item->UserData : std::nullopt;
    }
    std::vector<std::shared_ptr<OfflineAction>> savedActions() {
        auto reopened = std::make_shared<OfflineDataController>(where_);
        return reopened->getAllOfflineActions();
    }
    /// From now on counts in `commits` the transactions written to the store file (the store's
    /// connection is used on the main queue only, as is `commits`).
    void countCommits(int& commits) {
        auto coordinator = store_->managedObjectContext()->persistentStoreCoordinator();
        ASSERT_TRUE(coordinator && coordinator->hasStores());
        sqlite3_commit_hook(
            coordinator->persistentStores().front()->database->handle(),
            [](void* counter) {
                ++*static_cast<int*>(counter);
                return 0;
            },
            &commits);
    }
    /// An empty store in place of the current one (a new installation), with a client on it.
    void freshStore() {
        fs::remove_all(root_ / "group");
        fs::create_directories(root_ / "group");
        store_ = std::make_shared<OfflineDataController>(where_);
        client_ =
            std::make_shared<ApiClientEx>(client_->serverInfo(), client_->deviceInfo(), store_);
    }
    void settle() {
        test::pumpMainQueueUntil([] { return false; }, 30ms);
    }

    PlaybackProgressInfo progress(std::optional<std::int64_t> ticks, std::string id = "local:x") {
        PlaybackProgressInfo info(true, std::move(id), "m", false, 0, 1, false, "p",
                                  RepeatMode::RepeatNone, 0);
        info.PositionTicks = ticks;
        return info;
    }
    PlaybackStopInfo stop(std::optional<std::int64_t> ticks, std::string id = "local:x") {
        PlaybackStopInfo info(0, 1, std::move(id), "m", "p");
        info.PositionTicks = ticks;
        return info;
    }
    bool triedTheServer() { return log_->count("Error: Server address not set") > 0; }
};

TEST_F(ApiClientExTest, ProgressOfALocalAudioItemUpdatesItsResumePointInOneSave) {
    stored(R"("MediaType":"Audio","SupportsResume":true,"RunTimeTicks":100,)"
           R"("UserData":{"IsFavorite":true,"PlayCount":3})");
    int commits = 0;
    countCommits(commits);
    client_->sendPlaybackProgress(progress(50));
    settle();
    EXPECT_EQ(commits, 1) << "the user data is replaced in one save, never absent in between";
    auto half = savedUserData();
    ASSERT_TRUE(half);
    EXPECT_EQ(half->PlaybackPositionTicks, 50);
    EXPECT_EQ(half->PlayedPercentage, 50.0);
    EXPECT_EQ(half->IsFavorite, true) << "the rest of the user data is kept";
    EXPECT_EQ(half->PlayCount, 3);
    EXPECT_FALSE(half->Played);

    client_->sendPlaybackProgress(progress(95));
    settle();
    auto played = savedUserData();
    ASSERT_TRUE(played);
    EXPECT_EQ(played->Played, true) << "95 of 100 counts as played";
    EXPECT_EQ(played->PlaybackPositionTicks, 0);
    EXPECT_EQ(played->PlayedPercentage, 0.0);
    EXPECT_EQ(played->IsFavorite, true);

    commits = 0;
    client_->sendPlaybackProgress(progress(std::nullopt));
    settle();
    EXPECT_EQ(commits, 0) << "no position: not even a save";
    EXPECT_EQ(savedUserData(), played) << "no position changes nothing";
    EXPECT_FALSE(triedTheServer());
    EXPECT_TRUE(savedActions().empty()) << "progress records no action";
}

TEST_F(ApiClientExTest, TheResumeUpdateNeedsResumableAudioAndCapsThePercentage) {
    stored(R"("MediaType":"Audio","SupportsResume":false,"RunTimeTicks":100)");
    client_->sendPlaybackProgress(progress(50));
    settle();
    EXPECT_FALSE(savedUserData()) << "an item that does not resume keeps no position";

    freshStore();
    stored(R"("MediaType":"Audio","SupportsResume":true,"RunTimeTicks":0)");
    client_->sendPlaybackProgress(progress(70));
    settle();
    auto noRunTime = savedUserData();
    ASSERT_TRUE(noRunTime);
    EXPECT_EQ(noRunTime->PlaybackPositionTicks, 70);
    EXPECT_EQ(noRunTime->PlayedPercentage, 0.0) << "no run time: no percentage, never played";
    EXPECT_FALSE(noRunTime->Played);

    // A run time whose nine tenths do not fit 64 bits when multiplied first.
    freshStore();
    stored(R"("MediaType":"Audio","SupportsResume":true,"RunTimeTicks":2000000000000000000)");
    client_->sendPlaybackProgress(progress(1000));
    settle();
    auto huge = savedUserData();
    ASSERT_TRUE(huge);
    EXPECT_FALSE(huge->Played);
    EXPECT_EQ(huge->PlaybackPositionTicks, 1000);
}

TEST_F(ApiClientExTest, AStopOfLocalAudioQueuesAnActionAndOtherMediaRecordsNothing) {
    stored(R"("MediaType":"Audio","SupportsResume":false,"RunTimeTicks":100)");
    client_->reportPlaybackStart(progress(0));
    client_->reportPlaybackStopped(stop(42));
    client_->reportPlaybackStopped(stop(std::nullopt, "local:local:x"));
    client_->reportPlaybackStopped(stop(5, "local:unknown"));
    settle();
    auto actions = savedActions();
    ASSERT_EQ(actions.size(), 1u) << "a second 'local:' stays part of the id: no such item";
    EXPECT_EQ(actions[0]->itemId, "x");
    EXPECT_EQ(actions[0]->positionTicks, 42.0);
    EXPECT_EQ(actions[0]->type, 0);
    EXPECT_EQ(actions[0]->serverId, "s1");
    EXPECT_EQ(actions[0]->userId, "u1");
    EXPECT_TRUE(actions[0]->date);
    EXPECT_FALSE(savedUserData()) << "no resume update without resume support";
    EXPECT_FALSE(triedTheServer());

    freshStore();
    stored(R"("MediaType":"Video","SupportsResume":true,"RunTimeTicks":100)");
    client_->reportPlaybackStopped(stop(42));
    settle();
    EXPECT_TRUE(savedActions().empty());
    EXPECT_FALSE(savedUserData());
}

TEST_F(ApiClientExTest, AStopOfResumableAudioSavesItsPositionAndTheActionTogether) {
    stored(R"("MediaType":"Audio","SupportsResume":true,"RunTimeTicks":1000)");
    int commits = 0;
    countCommits(commits);
    client_->reportPlaybackStopped(stop(std::nullopt));
    client_->reportPlaybackStopped(stop(300));
    settle();
    EXPECT_EQ(commits, 2) << "one save per stop: the position and the action together";
    auto data = savedUserData();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->PlaybackPositionTicks, 300);
    auto actions = savedActions();
    ASSERT_EQ(actions.size(), 2u);
    std::vector<double> positions{actions[0]->positionTicks, actions[1]->positionTicks};
    std::sort(positions.begin(), positions.end());
    EXPECT_EQ(positions, (std::vector<double>{0.0, 300.0})) << "no position: 0";
}

TEST_F(ApiClientExTest, OtherItemsAreReportedToTheServer) {
    client_->reportPlaybackStart(progress(0, "remote-item"));
    client_->sendPlaybackProgress(progress(10, "remote-item"));
    client_->reportPlaybackStopped(stop(10, "remote-item"));
    EXPECT_EQ(log_->count("Error: Server address not set"), 3u);
    EXPECT_EQ(ApiClientEx::localItemId("local:abc"), "abc");
    EXPECT_EQ(ApiClientEx::localItemId("xlocal:abc"), std::nullopt);
}

TEST_F(ApiClientExTest, QueuedActionsAreSentAsOneListAndKeptUntilDeleted) {
    refserver::RefServer::Options options;
    options.accessToken = "t";
    refserver::RefServer server(options);
    refserver::LibraryOptions small;
    small.tracks = 3;
    auto library = refserver::Library::install(server, small);
    auto sync = refserver::SyncJobs::install(server, library);
    client_->setServerAddress(*server.listen({"main", "127.0.0.1", 0, std::nullopt}));

    stored(R"("MediaType":"Audio","SupportsResume":false,"RunTimeTicks":100)");
    client_->reportPlaybackStopped(stop(42));
    settle();
    auto bare = store_->insertNewUserAction();  // no date, item, server or user
    bare->positionTicks = 7;
    store_->saveChanges();
    auto actions = store_->getAllOfflineActions();
    ASSERT_EQ(actions.size(), 2u);

    // The completion comes on the session's queue, not on this thread.
    std::promise<std::optional<std::string>> answered;
    auto answer = answered.get_future();
    client_->reportOfflineActions(actions, [&](auto text) { answered.set_value(std::move(text)); });
    ASSERT_TRUE(test::pumpMainQueueUntil(
        [&] { return answer.wait_for(0s) == std::future_status::ready; }, 20s));
    EXPECT_EQ(answer.get(), "204");
    auto bodies = sync->offlineActions();
    ASSERT_EQ(bodies.size(), 1u);
    simdjson::dom::parser parser;
    simdjson::dom::array list = parser.parse(bodies[0]).get_array();
    ASSERT_EQ(list.size(), 2u);
    std::vector<std::vector<std::string>> keys;
    for (simdjson::dom::element action : list) {
        std::vector<std::string> names;
        for (auto field : action.get_object())
            names.emplace_back(field.key);
        keys.push_back(names);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::vector<std::string>>{
                        {"Date", "ItemId", "ServerId", "PositionTicks", "Type", "UserId"},
                        {"PositionTicks", "Type"}}));
    EXPECT_EQ(store_->getAllOfflineActions().size(), 2u) << "the caller deletes them";
    EXPECT_TRUE(test::pumpMainQueueUntil(
        [&] { return log_->count("reportOfflineActions response: 204") == 1; }, 5s));
    store_->deleteOfflineActions(actions);
    EXPECT_TRUE(savedActions().empty());

    client_->setServerAddress(std::nullopt);
    int calls = 0;
    client_->reportOfflineActions({}, [&](auto text) {
        ++calls;
        EXPECT_FALSE(text);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(log_->count("Error: reportOfflineActions invalid url"), 1u);
}

}  // namespace
}  // namespace vk
