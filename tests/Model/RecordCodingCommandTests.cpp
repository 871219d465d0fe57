// `vornctl inspect`, run as the built program: stdin in, stdout, stderr and exit status out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Support/CommandRun.h"
#include "Support/TestSupport.h"
#include "VornKit/Model/BaseItemDto.h"

namespace vk {
namespace {

using Outcome = test::CommandOutcome;

Outcome inspect(const std::string& arguments, const std::string& input = {}) {
    return test::runCommand(std::string("'") + VORNCTL_PATH + "' inspect " + arguments, input);
}

TEST(InspectCommand, ListNamesEveryRecordType) {
    Outcome run = inspect("--list");
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* type : {"BaseItemDto",       "MediaSourceInfo",  "MediaStream",
                             "UserItemDataDto",   "NameIdPair",       "EndpointInfo",
                             "GetItemsResponse",  "ImageOptions",     "PlaybackProgressInfo",
                             "PlaybackStopInfo",  "QueueItem",        "SyncJobRequest",
                             "SyncJob",           "SyncJobItem",      "SyncJobCreationResult",
                             "SyncDataRequest",   "SyncDataResponse", "ItemFileInfo",
                             "NativeCredentials", "ServerInfo"}) {
        EXPECT_NE(run.out.find(std::string(type) + "\n"), std::string::npos) << type;
    }
}

TEST(InspectCommand, JsonPrintsTheRecordWithEveryDefaultedValue) {
    Outcome run = inspect("json BaseItemDto", R"({"Id":"a","ServerId":"s","Unknown":[1,{"x":2}]})");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n');
    for (const char* part :
         {R"("ImageTags":{})", R"("AlbumArtists":[])", R"("ArtistItems":[])", R"("ServerId":"s")",
          R"("Id":"a")", R"("RunTimeTicks":0)", R"("IsFolder":false)", R"("CriticRating":0)"}) {
        EXPECT_NE(run.out.find(part), std::string::npos) << part << " in " << run.out;
    }
    EXPECT_EQ(run.out.find("Unknown"), std::string::npos);
    EXPECT_EQ(run.out.find("Name"), std::string::npos);  // absent optionals are left out
    // What it prints reads back as the same record.
    auto again = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(run.out);
    ASSERT_TRUE(again) << again.error().description();
    EXPECT_EQ((*again)->Id, "a");
}

TEST(InspectCommand, BadInputPrintsTheErrorAndExitsWithOne) {
    Outcome missing = inspect("json BaseItemDto", R"({"Id":"a"})");
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.out.empty());
    EXPECT_EQ(missing.err.rfind("error: ", 0), 0u) << missing.err;
    EXPECT_NE(missing.err.find("ServerId"), std::string::npos) << missing.err;

    Outcome malformed = inspect("json NameIdPair", R"({"Name":"a",})");
    EXPECT_EQ(malformed.status, 1);
    EXPECT_EQ(malformed.err.rfind("error: ", 0), 0u) << malformed.err;

    Outcome unknown = inspect("json NoSuchType", "{}");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err.rfind("error: ", 0), 0u) << unknown.err;

    Outcome notArchive = inspect("unarchive MediaStream", "{}");
    EXPECT_EQ(notArchive.status, 1);
    EXPECT_EQ(notArchive.err.rfind("error: ", 0), 0u) << notArchive.err;
}

TEST(InspectCommand, ArchiveAndUnarchiveRoundTrip) {
    const std::string json =
        R"({"Protocol":"File","Id":"m1","Path":"/a/b.flac","MediaStreams":[{"Codec":"flac",)"
        R"("Index":0,"IsDefault":true}],"RunTimeTicks":1200})";
    Outcome archived = inspect("archive MediaSourceInfo", json);
    ASSERT_EQ(archived.status, 0) << archived.err;
    EXPECT_EQ(archived.out.rfind("bplist00", 0), 0u);

    Outcome decoded = inspect("json MediaSourceInfo", json);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    Outcome unarchived = inspect("unarchive MediaSourceInfo", archived.out);
    ASSERT_EQ(unarchived.status, 0) << unarchived.err;
    EXPECT_EQ(unarchived.out, decoded.out);
}

TEST(InspectCommand, UnarchiveRefusesATopLevelClassTheTransformerDoesNotAllow) {
    Outcome pair = inspect("archive NameIdPair", R"({"Name":"n","Id":"i"})");
    ASSERT_EQ(pair.status, 0) << pair.err;
    Outcome asStream = inspect("unarchive MediaStream", pair.out);
    EXPECT_EQ(asStream.status, 1);
    EXPECT_EQ(asStream.err.rfind("error: ", 0), 0u) << asStream.err;
    EXPECT_NE(asStream.err.find("NameIdPair"), std::string::npos) << asStream.err;
    Outcome asPair = inspect("unarchive NameIdPair", pair.out);
    EXPECT_EQ(asPair.status, 0) << asPair.err;
    EXPECT_EQ(asPair.out, "{\"Name\":\"n\",\"Id\":\"i\"}\n");
}

TEST(InspectCommand, ServerDatesAreMillisecondsBothWays) {
    Outcome run =
        inspect("json ServerInfo", R"({"Id":"a","Name":"n","DateLastAccessed":1700000000123})");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(R"("DateLastAccessed":1700000000123)"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace vk
