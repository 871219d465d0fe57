#include "VornKit/Offline/OfflineDataController.h"

#include <sqlite3.h>

#include <fstream>

#include "Support/TestSupport.h"
#include "VornKit/Model/FieldCoding.h"
#include "gtest/gtest.h"

using vk::LocalItem;
using vk::OfflineDataController;
using vk::SyncJobStatus;

namespace {

class OfflineStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path root = vk::test::makeTempDir("offline");
    OfflineDataController::Locations where{root / "group", root / "documents"};
    std::shared_ptr<OfflineDataController> store = std::make_shared<OfflineDataController>(where);
    vk::test::ScopedLogCapture capture;

    void SetUp() override {
        std::filesystem::create_directories(root / "group");
        std::filesystem::create_directories(root / "documents");
    }

    std::shared_ptr<vk::BaseItemDto> item(const std::string& json) {
        auto [decoder, context] = store->getManagedObjectDecoder();
        auto decoded = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(json);
        EXPECT_TRUE(decoded) << (decoded ? "" : decoded.error().description());
        return decoded ? *decoded : nullptr;
    }

    /// A local item of server "s1" whose record is built from `extraJson` fields.
    std::shared_ptr<LocalItem> local(const std::string& id, SyncJobStatus status,
                                     const std::string& extraJson = "",
                                     std::optional<std::string> path = "/music/" + std::string()) {
        auto record = item(R"({"Id":")" + id + R"(","ServerId":"s1")" +
                           (extraJson.empty() ? "" : "," + extraJson) + "}");
        auto l = store->insertNewLocalItem();
        l->itemId = id;
        l->serverId = "s1";
        l->status = status;
        if (path) {
            l->localPath = *path + id;
        }
        l->item = record;
        return l;
    }

    static std::vector<std::string> ids(const std::vector<std::shared_ptr<LocalItem>>& items) {
        std::vector<std::string> out;
        for (const auto& i : items)
            out.push_back(i->itemId);
        return out;
    }
};

TEST_F(OfflineStoreTest, FirstStartCreatesTheStoreInDocumentsAndMovesItToTheGroup) {
    ASSERT_TRUE(store->managedObjectContext());
    EXPECT_TRUE(std::filesystem::exists(root / "documents" / "Vorn.sqlite"));
    EXPECT_TRUE(std::filesystem::exists(root / "group" / "Vorn.sqlite"));
    local("a", SyncJobStatus::Completed);
    store->saveChanges();

    // Later starts open the group store directly; the documents copy is no longer consulted.
    std::filesystem::remove(root / "documents" / "Vorn.sqlite");
    auto again = std::make_shared<OfflineDataController>(where);
    EXPECT_EQ(ids(again->getAllLocalItemsForServer("s1")), std::vector<std::string>{"a"});
    EXPECT_FALSE(std::filesystem::exists(root / "documents" / "Vorn.sqlite"));
    EXPECT_TRUE(capture->messages("OfflineDataController").empty());
}

TEST_F(OfflineStoreTest, ALegacyStoreInDocumentsIsCopiedOnceAndLeftInPlace) {
    // An older installation kept its store in the documents directory.
    {
        auto legacy = std::make_shared<OfflineDataController>(
            OfflineDataController::Locations{root / "documents", root / "unused"});
        store.swap(legacy);
        local("old", SyncJobStatus::Completed, R"("Name":"Old Song")");
        store->saveChanges();
        store.swap(legacy);
    }
    auto upgraded = std::make_shared<OfflineDataController>(where);
    auto found = upgraded->getLocalItemWith("s1", "old");
    ASSERT_TRUE(found);
    ASSERT_TRUE(found->item);
    EXPECT_EQ(found->item->Name.str(), "Old Song");
    EXPECT_TRUE(std::filesystem::exists(root / "documents" / "Vorn.sqlite"));
    EXPECT_TRUE(std::filesystem::exists(root / "group" / "Vorn.sqlite"));
}

TEST_F(OfflineStoreTest, ItemsByIdsFollowTheLastPositionOfEachId) {
    local("a", SyncJobStatus::Completed);
    local("b", SyncJobStatus::Queued);
    local("c", SyncJobStatus::Completed);
    store->saveChanges();
    EXPECT_EQ(ids(store->getLocalItemsByIds("s1", {"b", "a", "b"})),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ids(store->getLocalItemsByIds("s1", {"c", "missing", "a"})),
              (std::vector<std::string>{"c", "a"}));
    EXPECT_TRUE(store->getLocalItemsByIds("s2", {"a"}).empty());
    EXPECT_TRUE(store->getLocalItemsByIds("s1", {}).empty());
}

TEST_F(OfflineStoreTest, DownloadedMeansCompletedOrCompletedWithError) {
    const std::vector<std::pair<std::string, SyncJobStatus>> all = {
        {"queued", SyncJobStatus::Queued},         {"converting", SyncJobStatus::Converting},
        {"ready", SyncJobStatus::ReadyToTransfer}, {"moving", SyncJobStatus::Transferring},
        {"done", SyncJobStatus::Completed},        {"partial", SyncJobStatus::CompletedWithError},
        {"failed", SyncJobStatus::Failed}};
    for (const auto& [id, status] : all) {
        local(id, status, R"("Type":"Audio")");
    }
    store->saveChanges();
    auto downloaded = ids(store->getAllLocalItemsForServer("s1"));
    std::sort(downloaded.begin(), downloaded.end());
    EXPECT_EQ(downloaded, (std::vector<std::string>{"done", "partial"}));
    EXPECT_TRUE(store->getDownloadedItemWith("s1", "done"));
    EXPECT_FALSE(store->getDownloadedItemWith("s1", "moving"));
    EXPECT_TRUE(store->getLocalItemWith("s1", "moving"));
    EXPECT_EQ(store->getLocalItemsByType("s1", {"Audio", "Video"}).size(), 2u);
    EXPECT_TRUE(store->getLocalItemsByType("s1", {"Video"}).empty());
}

TEST_F(OfflineStoreTest, StatusQueriesTreatTheLocalPathDifferently) {
    local("with", SyncJobStatus::Transferring);
    local("without", SyncJobStatus::Transferring, "", std::nullopt);
    store->saveChanges();
    EXPECT_EQ(store->getItemIdsBySyncStatus("s1", {SyncJobStatus::Transferring}),
              std::vector<std::string>{"with"});
    EXPECT_EQ(store->getItemsBySyncStatus("s1", {SyncJobStatus::Transferring}).size(), 2u);
    EXPECT_TRUE(store->getItemsBySyncStatus("s1", {}).empty());
    EXPECT_EQ(store->getLocalItemWith("/music/with")->itemId, "with");
    EXPECT_FALSE(store->getLocalItemWith("/music/nothing"));
}

TEST_F(OfflineStoreTest, SyncStatusIsAbsentWithoutARecordOrOutsideTheKnownValues) {
    local("ok", SyncJobStatus::CompletedWithError);
    auto odd = local("odd", SyncJobStatus::Queued);
    odd->status = static_cast<SyncJobStatus>(7);  // written by a newer version, say
    store->saveChanges();
    EXPECT_EQ(store->getSyncStatusForLibraryItemId("ok", "s1"), SyncJobStatus::CompletedWithError);
    EXPECT_FALSE(store->getSyncStatusForLibraryItemId("odd", "s1"));
    EXPECT_FALSE(store->getSyncStatusForLibraryItemId("none", "s1"));
    EXPECT_TRUE(store->localItemExists("s1", "odd"));
    EXPECT_FALSE(store->localItemExists("s2", "odd"));
}

TEST_F(OfflineStoreTest, DeletingTheLastTrackTakesItsEmptyAlbumAlong) {
    local("album", SyncJobStatus::Completed,
          R"("IsFolder":true,"Name":"The Album","Type":"MusicAlbum")");
    local("track", SyncJobStatus::Completed, R"("AlbumId":"album","Type":"Audio")");
    local("other-album", SyncJobStatus::Completed, R"("IsFolder":true,"Type":"MusicAlbum")");
    local("other-track", SyncJobStatus::Completed, R"("ParentId":"other-album","Type":"Audio")");
    store->saveChanges();
    EXPECT_EQ(store->itemHasChildren("s1", "album"), true);

    auto deleted = store->deleteLocalItem("s1", "track");
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->itemId, "track");
    EXPECT_TRUE(capture->contains("deleting empty container item The Album"));
    store->saveChanges();
    auto left = ids(store->getAllLocalItemsForServer("s1"));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"other-album", "other-track"}));
    auto types = store->getDistinctLocalItemTypes("s1");
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"Audio", "MusicAlbum"})) << "item records went too";
    EXPECT_FALSE(store->deleteLocalItem("s1", "never-there"));
}

TEST_F(OfflineStoreTest, OnePassRemovesASeriesOnlyWhenVisitedAfterItsLastSeason) {
    // Visit order is the store's row order: the series was stored before its season here.
    local("series", SyncJobStatus::Completed, R"("IsFolder":true,"Name":"Series")");
    local("season", SyncJobStatus::Completed,
          R"("IsFolder":true,"SeriesId":"series","Name":"Season")");
    store->saveChanges();
    store->deleteEmptyContainers("s1");
    EXPECT_TRUE(capture->contains("deleting empty container item Season"));
    EXPECT_FALSE(capture->contains("deleting empty container item Series"));
    store->saveChanges();
    EXPECT_EQ(ids(store->getAllLocalItemsForServer("s1")), std::vector<std::string>{"series"});
    store->deleteEmptyContainers("s1");  // a second pass finds it empty
    store->saveChanges();
    EXPECT_TRUE(store->getAllLocalItemsForServer("s1").empty());
}

TEST_F(OfflineStoreTest, AnUnreadableSharedStoreLeavesTheControllerWithoutAStore) {
    std::ofstream(root / "group" / "Vorn.sqlite") << std::string(4096, 'x');
    EXPECT_TRUE(store->getAllLocalItemsForServer("s1").empty());
    EXPECT_TRUE(capture->contains("Error loading shared store: "));
    local("x", SyncJobStatus::Completed);
    store->saveChanges();
    EXPECT_EQ(
        capture->count(
            "Failed to save changes. This NSPersistentStoreCoordinator has no persistent stores."),
        1u);
    store->deleteOfflineActions({});
    EXPECT_TRUE(
        capture->contains("Failed to deleteOfflineActions. This NSPersistentStoreCoordinator has "
                          "no persistent stores."));
    EXPECT_FALSE(store->localItemExists("s1", "x"));
    EXPECT_FALSE(store->itemHasChildren("s1", "x"));
}

TEST_F(OfflineStoreTest, OfflineActionsAreKeptUntilDeleted) {
    auto action = store->insertNewUserAction();
    action->itemId = "track";
    action->positionTicks = 1.5e7;
    store->insertNewUserAction()->type = 0;
    store->saveChanges();
    auto reopened = std::make_shared<OfflineDataController>(where);
    auto actions = reopened->getAllOfflineActions();
    ASSERT_EQ(actions.size(), 2u);
    reopened->deleteOfflineActions(actions);
    EXPECT_TRUE(std::make_shared<OfflineDataController>(where)->getAllOfflineActions().empty());
}

TEST_F(OfflineStoreTest, FreeStandingRecordsCanBeTakenIn) {
    auto plain = vk::JsonDecoder{}.decode<std::shared_ptr<vk::BaseItemDto>>(
        R"({"Id":"f","ServerId":"s1","Type":"Movie"})");
    ASSERT_TRUE(plain);
    EXPECT_FALSE((*plain)->managedObjectContext());
    store->insert(*plain);
    store->saveChanges();
    EXPECT_EQ(store->getDistinctLocalItemTypes("s1"), std::vector<std::string>{"Movie"});
}

}  // namespace
