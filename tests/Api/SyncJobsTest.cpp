// The sync-job exchange against the reference server: the requests' paths, bodies and headers,
// the answers decoded (with the decoder and on the queue the caller gives), and every completion
// called once, also without an address.
#include <simdjson.h>

#include "LibraryTestSupport.h"
#include "refserver/SyncJobs.h"

using namespace std::chrono_literals;
using vk::SyncDataResponse;
using vk::SyncJobCreationResult;
using vk::SyncJobItem;
using vk::SyncJobStatus;

namespace vk::test {
namespace {

class SyncJobsTest : public LibraryServerTest {
  protected:
    static void SetUpTestSuite() {
        LibraryServerTest::SetUpTestSuite();
        sync_ = refserver::SyncJobs::install(*server_, library_);
    }
    static void TearDownTestSuite() {
        sync_.reset();
        LibraryServerTest::TearDownTestSuite();
    }
    void SetUp() override {
        LibraryServerTest::SetUp();
        sync_->clearRecords();
        sync_->setReadyDelay(0ms);
    }
    std::shared_ptr<BaseItemDto> album() const {
        auto item = std::make_shared<BaseItemDto>();
        const auto* entry = library_->ofType("MusicAlbum").front();
        item->Id = entry->id;
        item->ParentId = entry->parentId;
        return item;
    }
    static std::shared_ptr<refserver::SyncJobs> sync_;
};

std::shared_ptr<refserver::SyncJobs> SyncJobsTest::sync_;

std::vector<std::string> keysOf(const std::string& json) {
    simdjson::dom::parser parser;
    simdjson::dom::object object = parser.parse(json).get_object();
    std::vector<std::string> keys;
    for (auto field : object)
        keys.emplace_back(field.key);
    return keys;
}

TEST_F(SyncJobsTest, AJobForAnAlbumSendsTheRequestAndDecodesItsTracks) {
    auto item = album();
    auto result = await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->Job.Status, SyncJobStatus::ReadyToTransfer) << "sent as its name";
    EXPECT_EQ(result->JobItems.size(), library_->children(item->Id.str()).size());
    ASSERT_FALSE(result->JobItems.empty());
    EXPECT_EQ(result->JobItems[0].Item->ParentId, item->Id);
    EXPECT_EQ(result->JobItems[0].AdditionalFiles.size(), 1u);

    auto sent = requestsAt("Sync/Jobs");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
    EXPECT_EQ(sent[0].header("Accept"), "application/json");
    EXPECT_EQ(
        keysOf(sent[0].body),
        (std::vector<std::string>{"TargetId", "ItemIds", "ParentId", "UserId", "UnwatchedOnly",
                                  "SyncNewContent", "ItemLimit", "Downloaded"}));
    EXPECT_NE(sent[0].body.find("\"TargetId\":\"device-42\""), std::string::npos) << sent[0].body;
    EXPECT_NE(sent[0].body.find("\"ParentId\":\"" + item->ParentId.str() + "\""),
              std::string::npos);
    EXPECT_NE(sent[0].body.find("\"UserId\":\"user-1\""), std::string::npos);
    EXPECT_NE(sent[0].body.find("\"ItemLimit\":1,\"Downloaded\":true"), std::string::npos);
}

TEST_F(SyncJobsTest, TheParentIsTheAlbumWithoutAParentAndEmptyWithoutEither) {
    const auto* track = library_->ofType("Audio").front();
    auto item = std::make_shared<BaseItemDto>();
    item->Id = track->id;
    item->AlbumId = track->albumId;
    auto first = await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->JobItems.size(), 1u);
    item->AlbumId = nullptr;
    await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); });
    auto sent = requestsAt("Sync/Jobs");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[0].body.find("\"ParentId\":\"" + track->albumId + "\""), std::string::npos);
    EXPECT_NE(sent[1].body.find("\"ParentId\":\"\""), std::string::npos) << sent[1].body;
}

TEST_F(SyncJobsTest, ReadyItemsUseTheCallersQueueAndOnlyReadyOnesAreListed) {
    sync_->setReadyDelay(100'000ms);
    auto item = album();
    ASSERT_TRUE(await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); }));
    auto queue = DispatchQueue::makeSerial("test.ready");
    Recorder<std::optional<std::vector<SyncJobItem>>> notYet;
    client_->getReadySyncItems(JsonDecoder(), queue, notYet.handler(queue));
    ASSERT_TRUE(notYet.wait());
    EXPECT_TRUE(notYet.onQueue());
    ASSERT_TRUE(notYet.value());
    const std::size_t before = notYet.value()->size();

    sync_->setReadyDelay(0ms);
    ASSERT_TRUE(await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); }));
    Recorder<std::optional<std::vector<SyncJobItem>>> ready;
    client_->getReadySyncItems(JsonDecoder(), queue, ready.handler(queue));
    ASSERT_TRUE(ready.wait());
    EXPECT_TRUE(ready.onQueue());
    ASSERT_TRUE(ready.value());
    EXPECT_EQ(ready.value()->size(), before + library_->children(item->Id.str()).size());
    EXPECT_EQ(requestsAt("Sync/Items/Ready").back().queryValue("TargetId"), "device-42");
}

TEST_F(SyncJobsTest, AReadyItemWithoutAdditionalFilesFailsTheWholeAnswer) {
    server_->route("GET", "Sync/Items/Ready",
                   [](const refserver::Request&, refserver::Response& response) {
                       response.body = R"([{"ServerId":"s","SyncJobId":1,"SyncJobName":"n",)"
                                       R"("SyncJobDateCreated":"d","SyncJobItemId":2,"UserId":"u",)"
                                       R"("Item":{"Id":"i","ServerId":"s"}}])";
                   });
    auto ready = await<std::vector<SyncJobItem>>(
        [&](auto done) { client_->getReadySyncItems(JsonDecoder(), nullptr, done); });
    EXPECT_FALSE(ready);
    server_->route("GET", "Sync/Items/Ready",
                   [](const refserver::Request&, refserver::Response& response) {
                       // An item whose own fields fail (no "Id") still arrives, with a log line.
                       response.body = R"([{"ServerId":"s","SyncJobId":1,"SyncJobName":"n",)"
                                       R"("SyncJobDateCreated":"d","SyncJobItemId":2,"UserId":"u",)"
                                       R"("AdditionalFiles":[],"Item":{"ServerId":"s"}}])";
                   });
    auto partial = await<std::vector<SyncJobItem>>(
        [&](auto done) { client_->getReadySyncItems(JsonDecoder(), nullptr, done); });
    ASSERT_TRUE(partial);
    ASSERT_EQ(partial->size(), 1u);
    EXPECT_EQ(log_->messages("SyncJobItem").size(), 1u);
    // The service's own routes again (later routes win) for the other tests.
    sync_ = refserver::SyncJobs::install(*server_, library_);
}

TEST_F(SyncJobsTest, ATransferIsConfirmedUnderTheApiPrefixAndTheAnswerLogged) {
    auto item = album();
    auto job = await<SyncJobCreationResult>(
        [&](auto done) { client_->getSyncJobForDownloadItem(*item, done); });
    ASSERT_TRUE(job);
    const std::int64_t id = job->JobItems.front().SyncJobItemId;
    auto answer =
        await<std::string>([&](auto done) { client_->reportSyncJobItemTransferred(id, done); });
    EXPECT_EQ(answer, "204");
    auto sent = requestsAt("Sync/JobItems/" + std::to_string(id) + "/Transferred");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_TRUE(sent[0].body.empty());
    EXPECT_FALSE(sent[0].header("Content-Type"));
    EXPECT_EQ(sync_->transferred(), std::vector<std::int64_t>{id});
    EXPECT_TRUE(eventually([&] {
        for (const auto& line : log_->messages("ApiClient"))
            if (line == "reportSyncJobItemTransferred response: 204")
                return true;
        return false;
    }));
}

TEST_F(SyncJobsTest, SyncDataAnswersTheIdsToRemoveOnTheGivenQueue) {
    const auto* track = library_->ofType("Audio").front();
    sync_->dropItem(track->id);
    auto queue = DispatchQueue::makeSerial("test.syncdata");
    Recorder<std::optional<SyncDataResponse>> answer;
    client_->syncData({track->id, "gone-from-the-server", library_->ofType("Audio")[1]->id}, queue,
                      answer.handler(queue));
    ASSERT_TRUE(answer.wait());
    EXPECT_TRUE(answer.onQueue());
    ASSERT_TRUE(answer.value());
    EXPECT_EQ(answer.value()->ItemIdsToRemove,
              (std::vector<std::string>{track->id, "gone-from-the-server"}));
    auto sent = requestsAt("Sync/Data");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(keysOf(sent[0].body), (std::vector<std::string>{"TargetId", "LocalItemIds"}));
    EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
}

TEST_F(SyncJobsTest, WithoutAnAddressEveryCompletionIsCalledOnceWithNothing) {
    auto offline = std::make_shared<ApiClient>(makeServerInfo(std::nullopt), makeDeviceInfo());
    auto item = album();
    auto job = await<SyncJobCreationResult>(
        [&](auto done) { offline->getSyncJobForDownloadItem(*item, done); }, true);
    EXPECT_FALSE(job);
    auto ready = await<std::vector<SyncJobItem>>(
        [&](auto done) { offline->getReadySyncItems(JsonDecoder(), nullptr, done); }, true);
    EXPECT_FALSE(ready);
    auto data = await<SyncDataResponse>(
        [&](auto done) { offline->syncData({"a"}, DispatchQueue::makeSerial("q"), done); }, true);
    EXPECT_FALSE(data);
    offline->reportSyncJobItemTransferred(3);
    auto lines = log_->messages("ApiClient");
    for (const char* expected :
         {"Error: getSyncJobForDownloadItem invalid url", "Error: getReadySyncItems invalid url",
          "Error: syncData invalid url", "Error: reportSyncJobItemTransferred invalid url"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    }
    EXPECT_TRUE(server_->requestsTo("/vorn/Sync").empty());
}

}  // namespace
}  // namespace vk::test
