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
        l->setSyncJobStatus(status);
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
    odd->status = 7;  // written by a newer version, say
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

TEST_F(OfflineStoreTest, ReadingNeverRewritesValuesTheRecordsCannotHold) {
    local("odd", SyncJobStatus::Completed, R"("UserData":{"PlaybackPositionTicks":42})");
    local("plain", SyncJobStatus::Completed);
    store->saveChanges();
    const auto file = root / "group" / "Vorn.sqlite";
    // A newer version's status, an archive this version's transformer refuses, and NULL where
    // this version always writes text.
    const std::string odd =
        "UPDATE LocalItem SET status=7 WHERE itemId='odd';"
        "UPDATE BaseItemDto SET userData=X'62706C6973743030DEADBEEF', name=NULL, etag=NULL "
        "WHERE id='odd';"
        "UPDATE BaseItemDto SET id=NULL WHERE Z_PK=(SELECT item FROM LocalItem WHERE "
        "itemId='odd');";
    auto rawRow = [&](const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        std::string out = "<no row>";
        if (st && sqlite3_step(st) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(st, 0);
            out = text ? reinterpret_cast<const char*>(text) : "NULL";
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    };
    {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        ASSERT_EQ(sqlite3_exec(db, odd.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    auto fresh = std::make_shared<OfflineDataController>(where);
    store.swap(fresh);
    auto fetched = store->getLocalItemWith("s1", "odd");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, 7) << "the stored raw value";
    EXPECT_FALSE(fetched->syncJobStatus());
    EXPECT_FALSE(store->getSyncStatusForLibraryItemId("odd", "s1"));
    EXPECT_FALSE(store->managedObjectContext()->hasChanges());

    // Saving something else leaves the fetched rows exactly as they were.
    store->getLocalItemWith("s1", "plain")->syncGuid = 5;
    local("new", SyncJobStatus::Queued);
    store->saveChanges();
    EXPECT_EQ(rawRow("SELECT status FROM LocalItem WHERE itemId='odd'"), "7");
    EXPECT_EQ(rawRow("SELECT hex(b.userData) || '/' || ifnull(b.id, 'NULL') || '/' || "
                     "ifnull(b.name, 'NULL') FROM BaseItemDto b JOIN LocalItem l ON l.item=b.Z_PK "
                     "WHERE l.itemId='odd'"),
              "62706C6973743030DEADBEEF/NULL/NULL");
    EXPECT_EQ(rawRow("SELECT syncGuid FROM LocalItem WHERE itemId='plain'"), "5");

    // A member the program sets is written, and only that member.
    fetched->syncJobItemId = 9;
    store->saveChanges();
    EXPECT_EQ(rawRow("SELECT status || '/' || syncJobItemId FROM LocalItem WHERE itemId='odd'"),
              "7/9");
    fetched->setSyncJobStatus(SyncJobStatus::Completed);
    store->saveChanges();
    EXPECT_EQ(rawRow("SELECT status FROM LocalItem WHERE itemId='odd'"), "4");
    EXPECT_EQ(rawRow("SELECT hex(b.userData) FROM BaseItemDto b JOIN LocalItem l ON "
                     "l.item=b.Z_PK WHERE l.itemId='odd'"),
              "62706C6973743030DEADBEEF");
}

TEST_F(OfflineStoreTest, IdAndTypeListsOfAnyLengthAreAnswered) {
    local("a", SyncJobStatus::Completed, R"("Type":"Audio")");
    local("b", SyncJobStatus::Completed, R"("Type":"Video")");
    store->saveChanges();
    // More values than one statement of this SQLite binds.
    const int limit = sqlite3_limit(store->managedObjectContext()
                                        ->persistentStoreCoordinator()
                                        ->persistentStores()
                                        .front()
                                        ->database->handle(),
                                    SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    std::vector<std::string> many;
    for (int i = 0; i <= limit; ++i) {
        many.push_back("missing-" + std::to_string(i));
    }
    many.insert(many.begin() + 10, "b");
    many.push_back("a");
    EXPECT_EQ(ids(store->getLocalItemsByIds("s1", many)), (std::vector<std::string>{"b", "a"}));
    many.push_back("Audio");
    EXPECT_EQ(ids(store->getLocalItemsByType("s1", many)), std::vector<std::string>{"a"});
}

TEST_F(OfflineStoreTest, HostsBuildQueriesFromTheRecordsFetchRequests) {
    local("album", SyncJobStatus::Completed, R"("IsFolder":true,"Type":"MusicAlbum")");
    local("track", SyncJobStatus::Transferring, R"("Type":"Audio")", std::nullopt);
    store->insertNewUserAction()->itemId = "track";
    store->saveChanges();
    auto context = store->managedObjectContext();
    std::string error;

    auto audio = context->fetch(
        LocalItem::fetchRequest().where("serverId", "s1").whereIn("item.type", {"Audio", "Movie"}),
        &error);
    ASSERT_TRUE(audio) << error;
    ASSERT_EQ(audio->size(), 1u);
    EXPECT_EQ(std::static_pointer_cast<LocalItem>(audio->front())->itemId, "track");

    auto folders =
        context->count(vk::BaseItemDto::fetchRequest().where("isFolder", std::int64_t{1}), &error);
    EXPECT_EQ(folders, 1) << error;
    EXPECT_EQ(context->count(LocalItem::fetchRequest().whereNotNull("localPath"), &error), 1);
    EXPECT_EQ(
        context->count(LocalItem::fetchRequest().where("localPath", vk::StoreValue()), &error), 1);
    auto actions =
        context->fetch(vk::OfflineAction::fetchRequest().where("itemId", "track").limit(5), &error);
    ASSERT_TRUE(actions) << error;
    EXPECT_EQ(actions->size(), 1u);

    EXPECT_FALSE(context->fetch(LocalItem::fetchRequest().where("itemID", "x"), &error));
    EXPECT_NE(error.find("unknown attribute itemID of LocalItem"), std::string::npos) << error;
    EXPECT_FALSE(context->fetch(LocalItem::fetchRequest().where("item.nope", "x"), &error));
    EXPECT_NE(error.find("unknown attribute nope of BaseItemDto"), std::string::npos) << error;
    EXPECT_FALSE(context->fetch(LocalItem::fetchRequest().where("serverId.type", "x"), &error));
}

}  // namespace
