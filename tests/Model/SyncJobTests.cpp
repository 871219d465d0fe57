#include "VornKit/Model/SyncJob.h"

#include <gtest/gtest.h>

#include <string>

#include "Support/TestSupport.h"

namespace vk {
namespace {

std::string jobWithStatus(const std::string& status) {
    return R"({"Id":1,"Status":)" + status +
           R"(,"UserId":2,"RequestedItemIds":[3],"ItemCount":1,"Category":1})";
}

TEST(SyncJobStatusCoding, ReadsCaseNamesAndIntegersAndWritesTheInteger) {
    auto named = JsonDecoder().decode<SyncJob>(jobWithStatus(R"("Transferring")"));
    ASSERT_TRUE(named) << named.error().description();
    EXPECT_EQ(named->Status, SyncJobStatus::Transferring);
    EXPECT_EQ(named->Category, SyncCategory::NextUp);

    auto numbered = JsonDecoder().decode<SyncJob>(jobWithStatus("5"));
    ASSERT_TRUE(numbered) << numbered.error().description();
    EXPECT_EQ(numbered->Status, SyncJobStatus::CompletedWithError);

    auto json = JsonEncoder().encode(*named);
    ASSERT_TRUE(json);
    EXPECT_NE(json->find(R"("Status":3)"), std::string::npos) << *json;
}

TEST(SyncJobStatusCoding, IntegersOutsideTheCasesReadAsQueued) {
    for (const char* raw : {"7", "-1", "32768", "1e2"}) {
        auto job = JsonDecoder().decode<SyncJob>(jobWithStatus(raw));
        ASSERT_TRUE(job) << raw << ": " << job.error().description();
        EXPECT_EQ(job->Status, SyncJobStatus::Queued) << raw;
    }
    EXPECT_EQ(syncJobStatusFromRaw(6), SyncJobStatus::Failed);
    EXPECT_FALSE(syncJobStatusFromRaw(7));
}

TEST(SyncJobStatusCoding, OtherTextAndOtherTypesFail) {
    for (const char* text : {R"("transferring")", R"("Done")", R"("3")", R"("")"}) {
        auto job = JsonDecoder().decode<SyncJob>(jobWithStatus(text));
        ASSERT_FALSE(job) << text;
        EXPECT_EQ(job.error().kind, DecodingErrorKind::TypeMismatch) << text;
        EXPECT_EQ(job.error().codingPath, "Status");
    }
    auto boolean = JsonDecoder().decode<SyncJob>(jobWithStatus("true"));
    ASSERT_FALSE(boolean);
    EXPECT_EQ(boolean.error().kind, DecodingErrorKind::TypeMismatch);
    auto fraction = JsonDecoder().decode<SyncJob>(jobWithStatus("2.5"));
    ASSERT_FALSE(fraction);
    EXPECT_EQ(fraction.error().kind, DecodingErrorKind::DataCorrupted);
    auto null = JsonDecoder().decode<SyncJob>(jobWithStatus("null"));
    ASSERT_FALSE(null);
    EXPECT_EQ(null.error().kind, DecodingErrorKind::ValueNotFound);
}

TEST(SyncCategoryCoding, OnlyTheThreeIntegersRead) {
    for (int raw = 0; raw <= 2; ++raw) {
        auto request = JsonDecoder().decode<SyncJobRequest>(
            R"({"TargetId":"t","ItemIds":["a"],"Category":)" + std::to_string(raw) +
            R"(,"ParentId":"p","UserId":"u","UnwatchedOnly":false,"SyncNewContent":true,)"
            R"("Downloaded":false})");
        ASSERT_TRUE(request) << request.error().description();
        EXPECT_EQ(request->Category, static_cast<SyncCategory>(raw));
    }
    for (const char* bad : {"3", "-1", R"("Latest")", "true"}) {
        auto request = JsonDecoder().decode<SyncJobRequest>(
            std::string(R"({"TargetId":"t","ItemIds":[],"Category":)") + bad +
            R"(,"ParentId":"p","UserId":"u","UnwatchedOnly":false,"SyncNewContent":true,)"
            R"("Downloaded":false})");
        ASSERT_FALSE(request) << bad;
        EXPECT_EQ(request.error().codingPath, "Category") << bad;
    }
    auto outOfRange = JsonDecoder().decode<SyncJob>(
        R"({"Id":1,"Status":0,"UserId":2,"RequestedItemIds":[],"ItemCount":0,"Category":3})");
    ASSERT_FALSE(outOfRange);
    EXPECT_EQ(outOfRange.error().kind, DecodingErrorKind::DataCorrupted);
}

TEST(SyncJobItemCoding, EmbeddedItemMustBeAnObjectAndItsFieldFailuresOnlyLog) {
    const std::string head =
        R"({"ServerId":"s","SyncJobId":1,"SyncJobName":"n","SyncJobDateCreated":"d",)"
        R"("SyncJobItemId":2,"UserId":"u","AdditionalFiles":[],"Item":)";
    auto item =
        JsonDecoder().decode<SyncJobItem>(head + R"({"Id":"i","ServerId":"s",)"
                                                 R"("Name":"N\u00e9","ProductionYear":1999}})");
    ASSERT_TRUE(item) << item.error().description();
    ASSERT_TRUE(item->Item);
    EXPECT_EQ(item->Item->Name, "N\xc3\xa9");
    EXPECT_EQ(item->Item->ProductionYear, 1999);

    // A field of the wrong type inside the item: logged, and the job item still decodes.
    test::ScopedLogCapture capture;
    auto partial = JsonDecoder().decode<SyncJobItem>(head + R"({"Id":"i","ServerId":"s",)"
                                                            R"("ProductionYear":"x"}})");
    ASSERT_TRUE(partial) << partial.error().description();
    ASSERT_TRUE(partial->Item);
    EXPECT_EQ(partial->Item->Id, "i");
    auto lines = capture->messages("SyncJobItem");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Failed to initialize BaseItemDto properties ", 0), 0u) << lines[0];

    auto notObject = JsonDecoder().decode<SyncJobItem>(head + "[1]}");
    ASSERT_FALSE(notObject);
    EXPECT_EQ(notObject.error().kind, DecodingErrorKind::TypeMismatch);
    EXPECT_EQ(notObject.error().codingPath, "Item");
}

}  // namespace
}  // namespace vk
