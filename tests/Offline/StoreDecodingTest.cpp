#include "Support/TestSupport.h"
#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "gtest/gtest.h"

using vk::LocalItem;
using vk::OfflineAction;
using vk::SyncJobStatus;

namespace {

class StoreDecodingTest : public ::testing::Test {
  protected:
    std::filesystem::path root = vk::test::makeTempDir("decoding");
    std::shared_ptr<vk::OfflineDataController> store = std::make_shared<vk::OfflineDataController>(
        vk::OfflineDataController::Locations{root / "group", root / "documents"});

    vk::CodingResult<std::shared_ptr<LocalItem>> decodeLocal(const std::string& json) {
        auto [decoder, context] = store->getManagedObjectDecoder();
        return decoder.decode<std::shared_ptr<LocalItem>>(json);
    }
};

TEST_F(StoreDecodingTest, LocalItemsAndTheirRecordsAreCreatedInTheStore) {
    auto decoded =
        decodeLocal(R"({"ItemId":"x","Status":"Completed","Item":{"Id":"x","ServerId":"s"}})");
    ASSERT_TRUE(decoded) << decoded.error().description();
    auto local = *decoded;
    EXPECT_EQ(local->syncJobStatus(), SyncJobStatus::Completed);
    EXPECT_EQ(local->syncGuid, 0);
    EXPECT_EQ(local->syncJobItemId, 0);
    EXPECT_FALSE(local->localPath);
    ASSERT_TRUE(local->item);
    EXPECT_EQ(local->managedObjectContext(), store->managedObjectContext());
    EXPECT_EQ(local->item->managedObjectContext(), store->managedObjectContext());
    store->saveChanges();
    auto stored = store->getLocalItemWith("x");
    EXPECT_FALSE(stored) << "no local path was given";
    EXPECT_EQ(store->getItemsBySyncStatus("", {SyncJobStatus::Completed}).size(), 0u);
    EXPECT_EQ(store->getSyncStatusForLibraryItemId("x", ""), std::nullopt) << "no server id given";
}

TEST_F(StoreDecodingTest, StatusAcceptsCaseNamesAndIntegers) {
    auto status = [&](const std::string& value) -> std::optional<SyncJobStatus> {
        auto d = decodeLocal(R"({"ItemId":"x",)" + value + R"("Item":{"Id":"x","ServerId":"s"}})");
        return d ? (*d)->syncJobStatus() : std::nullopt;
    };
    EXPECT_EQ(status(R"("Status":4,)"), SyncJobStatus::Completed);
    EXPECT_EQ(status(R"("Status":12,)"), SyncJobStatus::Queued);
    EXPECT_EQ(status(""), SyncJobStatus::Queued);
    EXPECT_EQ(status(R"("Status":"Transferring",)"), SyncJobStatus::Transferring);
    EXPECT_FALSE(status(R"("Status":"Downloading",)"));
}

TEST_F(StoreDecodingTest, AFailedDecodeLeavesNothingForTheNextSave) {
    auto context = store->managedObjectContext();
    // The record decodes (and is inserted) before the bad status is read.
    auto failed =
        decodeLocal(R"({"ItemId":"x","Item":{"Id":"x","ServerId":"s"},"Status":"Bogus"})");
    ASSERT_FALSE(failed);
    EXPECT_EQ(context->registeredCount(), 0u);
    EXPECT_FALSE(context->hasChanges());
    auto missingId = decodeLocal(R"({"Item":{"Id":"x","ServerId":"s"}})");
    ASSERT_FALSE(missingId);
    EXPECT_EQ(missingId.error().kind, vk::DecodingErrorKind::KeyNotFound);
    EXPECT_EQ(context->registeredCount(), 0u);
}

TEST_F(StoreDecodingTest, WithoutAStoreContextDecodingFailsWithThePlatformError) {
    auto local = vk::JsonDecoder{}.decode<std::shared_ptr<LocalItem>>(
        R"({"ItemId":"x","Item":{"Id":"x","ServerId":"s"}})");
    ASSERT_FALSE(local);
    EXPECT_EQ(local.error().domain, "managedObjectContextKey missing from decoder");
    EXPECT_EQ(local.error().code, -1);
    auto action = vk::JsonDecoder{}.decode<std::shared_ptr<OfflineAction>>(
        R"({"PositionTicks": 5, "Type": 0})");
    ASSERT_FALSE(action);
    EXPECT_EQ(action.error().domain,
              "Failed to decode OfflineAction. Did you forget to set "
              "CodingUserInfoKey.managedObjectContext?");
    EXPECT_EQ(action.error().code, -1);
    vk::JsonDecoder wrongValue;
    wrongValue.userInfo["managedObjectContext"] = std::string("not a context");
    EXPECT_FALSE(
        wrongValue.decode<std::shared_ptr<OfflineAction>>(R"({"PositionTicks": 5, "Type": 0})"));
}

TEST_F(StoreDecodingTest, OfflineActionsWriteOnlyWhatTheyHave) {
    auto [decoder, context] = store->getManagedObjectDecoder();
    auto action = decoder.decode<std::shared_ptr<OfflineAction>>(
        R"({"PositionTicks": 5, "Type": 0, "ItemId": "i", "Date": 10})");
    ASSERT_TRUE(action) << action.error().description();
    EXPECT_EQ(vk::JsonEncoder{}.encode(*action),
              R"({"Date":10,"ItemId":"i","PositionTicks":5,"Type":0})");
    auto bare = store->insertNewUserAction();
    EXPECT_EQ(vk::JsonEncoder{}.encode(bare), R"({"PositionTicks":0,"Type":0})");
    EXPECT_FALSE(decoder.decode<std::shared_ptr<OfflineAction>>(R"({"Type": 0})"));
}

TEST_F(StoreDecodingTest, LocalItemsEncodeTheirRecordNested) {
    auto decoded = decodeLocal(
        R"({"ItemId":"x","LocalPath":"/m/x","ServerId":"s","Status":5,"SyncGuid":7,"SyncJobItemId":9,"Item":{"Id":"x","ServerId":"s"}})");
    ASSERT_TRUE(decoded);
    auto json = vk::JsonEncoder{}.encode(*decoded);
    ASSERT_TRUE(json);
    EXPECT_EQ(
        json->rfind(
            R"({"ItemId":"x","LocalPath":"/m/x","ServerId":"s","Status":5,"SyncGuid":7,"SyncJobItemId":9,"Item":{)",
            0),
        0u)
        << *json;
}

}  // namespace
