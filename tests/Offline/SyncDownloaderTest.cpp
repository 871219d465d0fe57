// SyncDownloader against the reference server: a whole album downloaded and recorded, the limit
// on downloads at once, names from the server that must be refused, a cut transfer tried again
// within the run (also from nginx) and the faults that are not, partial files continued only in
// their own version, one item asked for twice at once, a job with nothing in it, a full disk, runs
// killed with SIGKILL, cancellation, a vanished file and reconciliation.
#include "VornKit/Offline/SyncDownloader.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "Support/NginxServer.h"
#include "Support/TestSupport.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace vk {
namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Whether files in `directory` keep user extended attributes (tmpfs before Linux 6.6 does not).
bool supportsUserAttributes(const fs::path& directory) {
    const fs::path probe = directory / ".attribute-probe";
    std::ofstream(probe).put('x');
    const bool kept = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    fs::remove(probe);
    return kept;
}

class SyncDownloaderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        refserver::RefServer::Options options;
        options.accessToken = "token-abc";
        options.serverId = "server-1";
        server_ = new refserver::RefServer(options);
        refserver::LibraryOptions library;
        library.tracks = 12;
        library.tracksPerAlbum = 4;
        library.userId = "user-1";
        library.coverSize = 32;
        library_ = refserver::Library::install(*server_, library);
        sync_ = refserver::SyncJobs::install(*server_, library_);
        base_ = *server_->listen({"main", "127.0.0.1", 0, std::nullopt});
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        sync_.reset();
        library_.reset();
    }

    void SetUp() override {
        server_->clearRequests();
        sync_->clearRecords();
        sync_->clearFileFaults();
        sync_->resetFiles();
        sync_->setReadyDelay(0ms);
        sync_->setNotReadyAsks(0);
        fresh();
    }
    void TearDown() override {
        if (downloader_)
            downloader_->cancel();
        pumpMainQueueUntil([] { return false; }, 10ms);
    }

    /// A new store and documents directory (a new installation).
    void fresh() {
        root_ = test::makeTempDir("sync");
        fs::create_directories(root_ / "group");
        fs::create_directories(root_ / "documents");
        store_ = std::make_shared<OfflineDataController>(
            OfflineDataController::Locations{root_ / "group", root_ / "documents"});
        makeDownloader();
    }
    void makeDownloader(int maxConcurrent = 2, int maxRetries = 4) {
        ServerInfo info;
        info.Id = "server-1";
        info.Name = "Server";
        info.AccessToken = "token-abc";
        info.UserId = "user-1";
        client_ = std::make_shared<ApiClient>(
            info, DeviceInfo("device-42", std::string("Test"), std::string("1.0"), "Vorn"));
        client_->setServerAddress(base_);
        SyncDownloader::Options options;
        options.documents = docs();
        options.pollInterval = 20ms;
        options.maxPolls = 100;
        options.maxConcurrentDownloads = maxConcurrent;
        options.maxRetries = maxRetries;
        options.retryDelay = 1ms;
        downloader_ = SyncDownloader::make(client_, store_, options);
    }
    fs::path docs() const { return root_ / "documents" / "downloads"; }

    static std::shared_ptr<BaseItemDto> itemFor(const std::string& id) {
        auto item = std::make_shared<BaseItemDto>();
        item->Id = id;
        return item;
    }
    static const refserver::LibraryItem& album(std::size_t n = 0) {
        return *library_->ofType("MusicAlbum").at(n);
    }
    static std::vector<const refserver::LibraryItem*> tracksOf(const refserver::LibraryItem& a) {
        return library_->children(a.id);
    }

    SyncDownloadResult run(const std::string& itemId,
                           std::vector<SyncDownloadProgress>* progress = nullptr) {
        std::optional<SyncDownloadResult> result;
        int calls = 0;
        downloader_->download(
            itemFor(itemId),
            [progress](const SyncDownloadProgress& step) {
                if (progress)
                    progress->push_back(step);
            },
            [&](SyncDownloadResult r) {
                ++calls;
                result = std::move(r);
            });
        EXPECT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 60s));
        pumpMainQueueUntil([] { return false; }, 20ms);
        EXPECT_EQ(calls, 1);
        return result.value_or(SyncDownloadResult{});
    }
    static bool pumpMainQueueUntil(const std::function<bool()>& predicate,
                                   std::chrono::milliseconds timeout) {
        return test::pumpMainQueueUntil(predicate, timeout);
    }

    /// Every track of the album downloaded, byte for byte, with its cover, and recorded once.
    void expectDownloaded(const refserver::LibraryItem& a) {
        for (const auto* track : tracksOf(a)) {
            SCOPED_TRACE(track->id);
            auto local = store_->getDownloadedItemWith("server-1", track->id);
            ASSERT_TRUE(local);
            ASSERT_TRUE(local->localPath);
            EXPECT_EQ(fs::path(local->localPath.str()).parent_path(),
                      fs::path("server-1") / track->id);
            EXPECT_EQ(readFile(docs() / local->localPath.str()), sync_->mediaFile(track->id));
            EXPECT_EQ(readFile(docs() / "server-1" / track->id / "cover.png"),
                      sync_->coverFile(track->id));
            ASSERT_TRUE(local->item);
            EXPECT_EQ(local->item->Id, track->id);
            EXPECT_NE(local->syncJobItemId, 0);
            EXPECT_EQ(store_->getLocalItemsByIds("server-1", {track->id}).size(), 1u)
                << "one LocalItem per item";
        }
    }
    /// Regular files anywhere under the test's root other than the store's and the downloads'.
    std::vector<fs::path> strayFiles() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (!entry.is_regular_file())
                continue;
            auto path = entry.path();
            auto rel = path.lexically_relative(root_).string();
            if (rel.rfind("group/", 0) == 0 || rel.rfind("documents/Vorn.sqlite", 0) == 0)
                continue;
            if (rel.rfind("documents/downloads/server-1/", 0) == 0)
                continue;
            out.push_back(path);
        }
        return out;
    }

    static refserver::RefServer* server_;
    static std::shared_ptr<refserver::Library> library_;
    static std::shared_ptr<refserver::SyncJobs> sync_;
    static std::string base_;
    fs::path root_;
    std::shared_ptr<OfflineDataController> store_;
    std::shared_ptr<ApiClient> client_;
    std::shared_ptr<SyncDownloader> downloader_;
    test::ScopedLogCapture log_;
};

refserver::RefServer* SyncDownloaderTest::server_ = nullptr;
std::shared_ptr<refserver::Library> SyncDownloaderTest::library_;
std::shared_ptr<refserver::SyncJobs> SyncDownloaderTest::sync_;
std::string SyncDownloaderTest::base_;

TEST_F(SyncDownloaderTest, AnAlbumIsDownloadedRecordedAndConfirmed) {
    sync_->setNotReadyAsks(2);  // the first questions find nothing ready
    std::vector<SyncDownloadProgress> progress;
    auto result = run(album().id, &progress);
    EXPECT_TRUE(result.complete());
    EXPECT_EQ(result.downloaded.size(), tracksOf(album()).size());
    expectDownloaded(album());
    EXPECT_GT(server_->requestsTo("/vorn/Sync/Items/Ready").size(), 1u);

    std::vector<std::int64_t> confirmed = sync_->transferred();
    std::vector<std::int64_t> jobItems;
    for (const auto& state : sync_->jobItems())
        jobItems.push_back(state.id);
    std::sort(confirmed.begin(), confirmed.end());
    EXPECT_TRUE(
        std::includes(jobItems.begin(), jobItems.end(), confirmed.begin(), confirmed.end()));
    EXPECT_EQ(confirmed.size(), tracksOf(album()).size());

    ASSERT_FALSE(progress.empty());
    std::int64_t total = 0;
    for (const auto* track : tracksOf(album()))
        total += sync_->mediaLength(track->id) + sync_->coverFile(track->id).size();
    EXPECT_EQ(progress.back().totalBytes, total);
    EXPECT_EQ(progress.back().totalExpected, total);
    EXPECT_EQ(progress.back().itemsDone, tracksOf(album()).size());
    EXPECT_EQ(progress.back().itemsTotal, tracksOf(album()).size());
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_LE(progress[i - 1].totalBytes, progress[i].totalBytes);
    EXPECT_TRUE(strayFiles().empty());

    // A second run downloads nothing again and makes no second LocalItem.
    server_->clearRequests();
    auto again = run(album().id);
    EXPECT_TRUE(again.complete());
    EXPECT_TRUE(server_->requestsTo("/vorn/Sync/JobItems/").size() == tracksOf(album()).size())
        << "only the confirmations";
    EXPECT_EQ(store_->getAllLocalItemsForServer("server-1").size(), tracksOf(album()).size());
}

TEST_F(SyncDownloaderTest, NoMoreThanTheLimitOfFilesAtOnce) {
    sync_->addFileFault({refserver::FileFault::Kind::slow, 30'000, -1});
    sync_->clearRecords();
    auto result = run(album(1).id);
    sync_->clearFileFaults();
    EXPECT_TRUE(result.complete());
    EXPECT_EQ(sync_->peakFilesInFlight(), 2);
    fresh();
    makeDownloader(1);
    sync_->addFileFault({refserver::FileFault::Kind::slow, 10'000, -1});
    sync_->clearRecords();
    EXPECT_TRUE(run(album(1).id).complete());
    sync_->clearFileFaults();
    EXPECT_EQ(sync_->peakFilesInFlight(), 1);
}

TEST_F(SyncDownloaderTest, ATransferSlotIsHandedOnWhileAFileIsFlushed) {
    // One transfer at a time: once an item's media file is in, the next item's media file is
    // asked for while the first one is flushed, before the first item's cover.
    makeDownloader(1);
    ASSERT_TRUE(run(album().id).complete());
    expectDownloaded(album());
    std::vector<std::string> files;
    for (const auto& request : server_->requestsTo("/vorn/Sync/JobItems/")) {
        const std::string& path = request.path;
        if (path.find("/File") != std::string::npos)
            files.push_back("File");
        else if (path.find("/AdditionalFiles") != std::string::npos)
            files.push_back("Cover");
    }
    ASSERT_GE(files.size(), 4u);
    EXPECT_EQ(files[0], "File");
    EXPECT_EQ(files[1], "File") << "the second item waited for the first one's flush";
    EXPECT_EQ(sync_->peakFilesInFlight(), 1);
}

TEST_F(SyncDownloaderTest, UnsafeNamesFromTheServerAreRefusedAndNothingIsWrittenOutside) {
    const auto tracks = tracksOf(album(2));
    const std::vector<std::string> media = {"../../../escape.wav", "/tmp/absolute.wav", ""};
    for (std::size_t i = 0; i < media.size(); ++i)
        sync_->setFileName(tracks[i]->id, media[i]);
    sync_->setAdditionalFileName(tracks[3]->id, "..");
    auto result = run(album(2).id);
    EXPECT_FALSE(result.complete());
    EXPECT_EQ(result.failed.size(), 4u);
    for (const auto* track : tracks) {
        EXPECT_FALSE(store_->getDownloadedItemWith("server-1", track->id)) << track->id;
        EXPECT_FALSE(fs::exists(docs() / "server-1" / track->id / "cover.png"));
    }
    EXPECT_TRUE(strayFiles().empty());
    EXPECT_FALSE(fs::exists("/tmp/absolute.wav"));
    int refusals = 0;
    for (const auto& line : log_->messages("SyncDownloader"))
        refusals += line.rfind("Refusing unsafe file name from the server for item ", 0) == 0;
    EXPECT_EQ(refusals, 4);
    EXPECT_TRUE(SyncDownloader::safeFileName("01 - Song.wav"));
    for (const char* bad : {"a/b", "a\\b", "..", ".", ".hidden", "bell\x07", "del\x7f"})
        EXPECT_FALSE(SyncDownloader::safeFileName(bad)) << bad;
}

// A connection cut half-way is tried again within the run, continuing the partial file; faults a
// second try would meet again (a body longer than its length, a 206 with a wrong range) leave the
// item not downloaded until the next run.
TEST_F(SyncDownloaderTest, ACutTransferIsContinuedWithinTheRunOtherFaultsWaitForTheNextRun) {
    sync_->addFileFault({refserver::FileFault::Kind::cut, 50'000, 1});
    EXPECT_TRUE(run(album().id).complete());
    expectDownloaded(album());
    std::size_t resumed = 0;
    for (const auto& request : server_->requestsTo("/vorn/Sync/JobItems/"))
        resumed += request.header("Range").has_value() && request.header("If-Range").has_value();
    // Where no version can be kept with a partial file, the file starts over.
    EXPECT_EQ(resumed, supportsUserAttributes(docs()) ? 1u : 0u)
        << "the cut file was continued, in its own version";
    EXPECT_TRUE(log_->contains("trying again in 1 ms (1 of 4)"));

    using Kind = refserver::FileFault::Kind;
    for (auto [kind, amount, name] :
         {std::tuple{Kind::longBody, std::uint64_t{500}, "a body longer than its length"},
          std::tuple{Kind::wrongRange, std::uint64_t{0}, "a 206 with a wrong range"}}) {
        SCOPED_TRACE(name);
        fresh();
        if (kind == Kind::wrongRange) {
            // A partial file to resume (no second try), then a server that answers the wrong
            // range for it.
            makeDownloader(2, 0);
            sync_->addFileFault({Kind::cut, 50'000, 1});
            EXPECT_FALSE(run(album().id).complete());
            makeDownloader();
        }
        server_->clearRequests();
        sync_->addFileFault({kind, amount, 1});
        auto first = run(album().id);
        EXPECT_FALSE(first.complete());
        EXPECT_EQ(first.failed.size(), 1u);
        for (const auto& id : first.failed) {
            EXPECT_FALSE(store_->getDownloadedItemWith("server-1", id));
            auto local = store_->getLocalItemWith("server-1", id);
            ASSERT_TRUE(local);
            EXPECT_FALSE(local->localPath) << "no path for a file that is not there";
        }
        sync_->clearFileFaults();
        auto second = run(album().id);
        EXPECT_TRUE(second.complete());
        expectDownloaded(album());
    }
}

// One track, one transfer at a time, so that every answer below is its media file's. Answers of an
// overloaded server are tried again after a growing delay until the limit; a client error is not
// tried again.
TEST_F(SyncDownloaderTest, OnlyNetworkFailuresAreTriedAgainWithAGrowingDelay) {
    const std::string track = tracksOf(album(2)).at(0)->id;
    auto mediaRequests = [&] {
        std::size_t count = 0;
        for (const auto& request : server_->requestsTo("/vorn/Sync/JobItems/"))
            count += request.path.find("/File") != std::string::npos;
        return count;
    };
    const refserver::FaultRule busy{"", "/vorn/Sync/JobItems/", "GET",
                                    refserver::Fault::withStatus(503), 3};
    makeDownloader(1);
    server_->addFault(busy);
    EXPECT_TRUE(run(track).complete());
    EXPECT_EQ(mediaRequests(), 4u);
    for (const char* wait : {"trying again in 1 ms (1 of 4)", "trying again in 2 ms (2 of 4)",
                             "trying again in 4 ms (3 of 4)"})
        EXPECT_TRUE(log_->contains(wait)) << wait;

    fresh();
    makeDownloader(1);
    server_->clearRequests();
    server_->addFault({"", "/vorn/Sync/JobItems/", "GET", refserver::Fault::withStatus(503), -1});
    EXPECT_FALSE(run(track).complete());
    EXPECT_EQ(mediaRequests(), 5u) << "the first try and four more";
    server_->clearFaults();

    fresh();
    makeDownloader(1);
    server_->clearRequests();
    server_->addFault({"", "/vorn/Sync/JobItems/", "GET", refserver::Fault::withStatus(404), -1});
    EXPECT_FALSE(run(track).complete());
    EXPECT_EQ(mediaRequests(), 1u) << "a 404 would come again";
    server_->clearFaults();
}

// nginx serves the media files (the server redirects to it): its worker is killed while the first
// files are in flight, and the same run continues them from nginx, which checks their version.
TEST_F(SyncDownloaderTest, FilesCutByARealFileServerAreContinuedInTheSameRun) {
    if (!test::NginxServer::installed())
        GTEST_SKIP() << "nginx is not installed";
    test::NginxServer::Options options;
    // The first answer of a file comes slowly, so that the cut lands in its body.
    options.httpDirectives = "map $http_range $vk_rate { \"\" 1m; default 0; }";
    options.serverDirectives = "limit_rate $vk_rate;";
    std::string error;
    auto nginx = test::NginxServer::start(options, error);
    ASSERT_TRUE(nginx) << error;
    sync_->setMediaBytes(1'000'000);
    for (const auto* track : tracksOf(album()))
        std::ofstream(nginx->root() / (track->id + ".wav"), std::ios::binary)
            << sync_->mediaFile(track->id);
    sync_->redirectMediaFiles(nginx->baseUrl());
    struct Restore {
        ~Restore() {
            sync_->redirectMediaFiles(std::nullopt);
            sync_->setMediaBytes(0);
        }
    } restore;

    bool cut = false;
    std::optional<SyncDownloadResult> result;
    downloader_->download(
        itemFor(album().id),
        [&](const SyncDownloadProgress& step) {
            if (!cut && step.totalBytes > 100'000) {
                cut = true;
                nginx->cutConnections();
            }
        },
        [&](SyncDownloadResult r) { result = std::move(r); });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 60s));
    EXPECT_TRUE(cut);
    EXPECT_TRUE(result->complete());
    expectDownloaded(album());
    std::size_t continued = 0;
    for (const auto& request : nginx->requests()) {
        if (request.status == 206) {
            EXPECT_FALSE(request.ifRange.empty()) << request.uri;
            ++continued;
        }
    }
    if (supportsUserAttributes(docs())) {
        EXPECT_GE(continued, 1u);
    }
}

TEST_F(SyncDownloaderTest, AFullDiskFailsTheItemsAndALaterRunWithRoomCompletes) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    fs::create_directories(docs());
    if (::mount("tmpfs", docs().c_str(), "tmpfs", 0, "size=600k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{docs()};
    auto first = run(album().id);
    EXPECT_FALSE(first.complete());
    for (const auto& id : first.failed)
        EXPECT_FALSE(store_->getDownloadedItemWith("server-1", id));
    bool noSpace = false;
    for (const auto& line : log_->messages("SyncDownloader"))
        noSpace = noSpace || line.find("No space left on device") != std::string::npos;
    EXPECT_TRUE(noSpace);
    ASSERT_EQ(::mount("tmpfs", docs().c_str(), "tmpfs", MS_REMOUNT, "size=16m"), 0);
    auto second = run(album().id);
    EXPECT_TRUE(second.complete());
    expectDownloaded(album());
}

TEST_F(SyncDownloaderTest, RunsKilledInFlightAreCompletedByTheNextRun) {
    // Slow files, so that every kill lands while bytes are moving (slow enough that a run cannot
    // finish the album before its kill now that transfers overlap the flushes).
    sync_->addFileFault({refserver::FileFault::Kind::slow, 100'000, -1});
    std::mt19937 random(std::random_device{}());
    auto fileRequests = [&] {
        std::size_t files = 0;
        for (const auto& request : server_->requestsTo("/vorn/Sync/JobItems"))
            files += request.method == "GET" ? 1 : 0;
        return files;
    };
    // Each kill lands after that run asked for a file, at a random point of its transfers; a run
    // that finishes by itself ends the rounds.
    int killedInFlight = 0;
    for (int round = 0; round < 6; ++round) {
        const auto before = fileRequests();
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl(VK_DOWNLOAD_HELPER, VK_DOWNLOAD_HELPER, base_.c_str(), root_.c_str(),
                    album().id.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        bool exited = false;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (fileRequests() == before && std::chrono::steady_clock::now() < deadline &&
               !(exited = ::waitpid(child, &status, WNOHANG) == child))
            std::this_thread::sleep_for(5ms);
        if (exited)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        killedInFlight += WIFSIGNALED(status) && fileRequests() > before ? 1 : 0;
    }
    EXPECT_GE(killedInFlight, 3);
    sync_->clearFileFaults();
    // The helper downloads into <root>/documents; this process looks there too.
    SyncDownloader::Options options;
    options.documents = root_ / "documents";
    options.pollInterval = 20ms;
    downloader_ = SyncDownloader::make(client_, store_, options);
    auto result = run(album().id);
    EXPECT_TRUE(result.complete());
    for (const auto* track : tracksOf(album())) {
        SCOPED_TRACE(track->id);
        auto local = store_->getDownloadedItemWith("server-1", track->id);
        ASSERT_TRUE(local);
        EXPECT_EQ(readFile(root_ / "documents" / local->localPath.str()),
                  sync_->mediaFile(track->id));
        EXPECT_EQ(store_->getLocalItemsByIds("server-1", {track->id}).size(), 1u);
        for (const auto& entry :
             fs::directory_iterator(root_ / "documents" / "server-1" / track->id)) {
            EXPECT_EQ(entry.path().extension(),
                      entry.path().filename() == "cover.png" ? ".png" : ".wav")
                << "no partial file left";
        }
    }
}

TEST_F(SyncDownloaderTest, CancellingKeepsPartialFilesAndCompletesOnce) {
    sync_->addFileFault({refserver::FileFault::Kind::slow, 40'000, -1});
    std::optional<SyncDownloadResult> result;
    int calls = 0;
    bool moving = false;
    downloader_->download(
        itemFor(album().id),
        [&](const SyncDownloadProgress& step) { moving = step.totalBytes > 0; },
        [&](SyncDownloadResult r) {
            ++calls;
            result = std::move(r);
        });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return moving; }, 20s));
    downloader_->cancel();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 20s));
    pumpMainQueueUntil([] { return false; }, 50ms);
    sync_->clearFileFaults();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result->complete());
    EXPECT_TRUE(store_->getAllLocalItemsForServer("server-1").size() < tracksOf(album()).size());
    bool partial = false;
    for (const auto& entry : fs::recursive_directory_iterator(docs()))
        partial = partial || entry.path().extension() == ".partial";
    EXPECT_TRUE(partial);
    EXPECT_TRUE(run(album().id).complete());
    expectDownloaded(album());
}

TEST_F(SyncDownloaderTest, TheSameAlbumAskedForTwiceAtOnceIsWrittenOnceAndCompletesTwice) {
    // Slow files and room for every file at once, so that the second run's items are ready and
    // could start while the first run's are in flight.
    makeDownloader(8);
    sync_->addFileFault({refserver::FileFault::Kind::slow, 20'000, -1});
    std::vector<std::optional<SyncDownloadResult>> results(2);
    for (auto& result : results) {
        downloader_->download(itemFor(album(1).id), nullptr,
                              [&result](SyncDownloadResult r) { result = std::move(r); });
    }
    ASSERT_TRUE(
        pumpMainQueueUntil([&] { return results[0].has_value() && results[1].has_value(); }, 60s));
    sync_->clearFileFaults();
    for (const auto& result : results)
        EXPECT_TRUE(result->complete());
    expectDownloaded(album(1));
    std::size_t media = 0;
    for (const auto& request : server_->requestsTo("/vorn/Sync/JobItems/"))
        media += request.path.find("/File") != std::string::npos;
    EXPECT_EQ(media, tracksOf(album(1)).size()) << "each media file was transferred once";
    EXPECT_EQ(store_->getAllLocalItemsForServer("server-1").size(), tracksOf(album(1)).size());
}

TEST_F(SyncDownloaderTest, AJobThatListsNoItemsIsNotASuccess) {
    // A movie has no audio file for this server's jobs: the job comes back empty.
    const std::string movie = library_->ofType("Movie").at(0)->id;
    auto result = run(movie);
    EXPECT_TRUE(result.jobCreated);
    EXPECT_FALSE(result.complete());
    EXPECT_TRUE(result.downloaded.empty());
    EXPECT_EQ(result.failed, std::vector<std::string>{movie});
    EXPECT_TRUE(log_->contains("Sync job for item " + movie + " lists no items to download"));
}

TEST_F(SyncDownloaderTest, ACancelBeforeTheJobArrivesRecordsNothing) {
    server_->addFault({"", "/vorn/Sync/Jobs", "POST", refserver::Fault::delayBy(300ms), 1});
    std::optional<SyncDownloadResult> result;
    int calls = 0;
    downloader_->download(itemFor(album().id), nullptr, [&](SyncDownloadResult r) {
        ++calls;
        result = std::move(r);
    });
    ASSERT_TRUE(
        pumpMainQueueUntil([&] { return !server_->requestsTo("/vorn/Sync/Jobs").empty(); }, 10s));
    downloader_->cancel();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 10s));
    // The job's answer comes after the cancel.
    pumpMainQueueUntil([] { return false; }, 800ms);
    server_->clearFaults();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result->complete());
    for (const auto* track : tracksOf(album()))
        EXPECT_FALSE(store_->localItemExists("server-1", track->id)) << "no queued leftovers";
}

// A download cancelled at once never asks for a job; one cancelled while it waits to try a file
// again ends at once.
TEST_F(SyncDownloaderTest, ACancelledRunSendsNothingMoreAndEndsAtOnce) {
    std::optional<SyncDownloadResult> result;
    downloader_->download(itemFor(album().id), nullptr,
                          [&](SyncDownloadResult r) { result = std::move(r); });
    downloader_->cancel();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 10s));
    EXPECT_FALSE(result->jobCreated);
    EXPECT_EQ(result->failed, std::vector<std::string>{album().id});
    // A later run's job is the first the server hears of (the cancelled run's start came first).
    EXPECT_TRUE(run(album(1).id).complete());
    EXPECT_EQ(server_->requestsTo("/vorn/Sync/Jobs").size(), 1u);
    EXPECT_FALSE(store_->localItemExists("server-1", tracksOf(album())[0]->id));

    SyncDownloader::Options options;
    options.documents = docs();
    options.pollInterval = 20ms;
    options.retryDelay = std::chrono::minutes(1);
    downloader_ = SyncDownloader::make(client_, store_, options);
    sync_->addFileFault({refserver::FileFault::Kind::cut, 50'000, -1});
    result.reset();
    downloader_->download(itemFor(album(2).id), nullptr,
                          [&](SyncDownloadResult r) { result = std::move(r); });
    ASSERT_TRUE(
        pumpMainQueueUntil([&] { return log_->contains("trying again in 60000 ms"); }, 20s));
    downloader_->cancel();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return result.has_value(); }, 10s))
        << "not held up by the wait for the next try";
    EXPECT_FALSE(result->complete());
}

// A downloaded track whose file vanished, and whose download again failed, names no file: no
// path, and no lookup by its old path finds it; a later run that succeeds gives it one again.
TEST_F(SyncDownloaderTest, AFileThatVanishedAndCouldNotBeFetchedAgainLosesItsPath) {
    ASSERT_TRUE(run(album().id).complete());
    const std::string track = tracksOf(album())[0]->id;
    const std::string path = store_->getLocalItemWith("server-1", track)->localPath.str();
    fs::remove(docs() / path);
    server_->addFault({"", "/vorn/Sync/JobItems/", "GET", refserver::Fault::withStatus(404), -1});
    auto failed = run(album().id);
    server_->clearFaults();
    EXPECT_EQ(failed.failed, std::vector<std::string>{track});
    auto local = store_->getLocalItemWith("server-1", track);
    ASSERT_TRUE(local);
    EXPECT_FALSE(local->localPath);
    EXPECT_FALSE(store_->getLocalItemWith(path));
    OfflineDataController reopened(
        OfflineDataController::Locations{root_ / "group", root_ / "documents"});
    EXPECT_FALSE(reopened.getLocalItemWith(path)) << "saved so";

    EXPECT_TRUE(run(album().id).complete());
    EXPECT_TRUE(store_->getLocalItemWith(path));
}

// "syncOnlyOnWifi" (on unless "false") refuses a run over the cellular link before any request;
// turned off, or back on another link, the same downloader runs.
TEST_F(SyncDownloaderTest, OnlyOnWifiRefusesACellularRunBeforeAnyRequest) {
    NetworkPath cellular;
    cellular.reachable = true;
    cellular.cellular = true;
    auto monitor = std::make_shared<ManualNetworkMonitor>(cellular);
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    auto reachability = Reachability::withTarget(
        NetworkReachabilityTarget::forAddress(reinterpret_cast<sockaddr*>(&zero), monitor),
        std::make_shared<FixedRadioInfo>(std::nullopt));
    auto settings = std::make_shared<UserDefaults>(test::makeTempDir("settings") / "standard.json");
    SyncDownloader::Options options;
    options.documents = docs();
    options.pollInterval = std::chrono::milliseconds(20);
    options.networkAllowsSync = SyncDownloader::wifiRule(reachability, settings);
    downloader_ = SyncDownloader::make(client_, store_, options);
    auto refused = run(album().id);
    EXPECT_FALSE(refused.complete());
    EXPECT_EQ(refused.failed, std::vector<std::string>{album().id});
    EXPECT_TRUE(server_->requestsTo("/vorn/Sync").empty());
    EXPECT_TRUE(store_->getAllLocalItemsForServer("server-1").empty());

    settings->set("syncOnlyOnWifi", std::string("false"));
    EXPECT_TRUE(run(album().id).complete());
    settings->set("syncOnlyOnWifi", std::string("true"));
    EXPECT_FALSE(run(album(1).id).complete());
    cellular.cellular = false;
    monitor->set(cellular);
    EXPECT_TRUE(run(album(1).id).complete());
}

// Every local item is named to the server, downloaded or not: a failed one (with its partial
// files) goes when the server drops it, as a downloaded one does.
TEST_F(SyncDownloaderTest, ReconcileRemovesWhatTheServerDroppedWithItsFiles) {
    ASSERT_TRUE(run(album().id).complete());
    ASSERT_TRUE(run(album(1).id).complete());
    makeDownloader(2, 0);
    sync_->addFileFault({refserver::FileFault::Kind::cut, 50'000, -1});
    EXPECT_FALSE(run(album(2).id).complete());
    sync_->clearFileFaults();
    const auto dropped = tracksOf(album())[1]->id;
    const auto droppedUnfinished = tracksOf(album(2))[0]->id;
    ASSERT_TRUE(fs::exists(docs() / "server-1" / droppedUnfinished)) << "its partial files";
    sync_->dropItem(dropped);
    sync_->dropItem(droppedUnfinished);
    std::optional<std::optional<std::vector<std::string>>> removed;
    downloader_->reconcile([&](auto ids) { removed = std::move(ids); });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return removed.has_value(); }, 20s));
    ASSERT_TRUE(*removed);
    std::set<std::string> gone((*removed)->begin(), (*removed)->end());
    EXPECT_EQ(gone, (std::set<std::string>{dropped, droppedUnfinished}));
    for (const auto& id : gone) {
        EXPECT_FALSE(store_->getLocalItemWith("server-1", id)) << id;
        EXPECT_FALSE(fs::exists(docs() / "server-1" / id)) << id;
    }
    EXPECT_EQ(store_->getAllLocalItemsForServer("server-1").size(),
              tracksOf(album()).size() + tracksOf(album(1)).size() - 1);
    auto sent = sync_->syncDataRequests();
    ASSERT_EQ(sent.size(), 1u);
    for (const auto* track : tracksOf(album(1)))
        EXPECT_NE(sent[0].find(track->id), std::string::npos);
    for (const auto* track : tracksOf(album(2)))
        EXPECT_NE(sent[0].find(track->id), std::string::npos) << "not downloaded, still named";

    // A fresh store reads the same: the removal was saved.
    OfflineDataController reopened(
        OfflineDataController::Locations{root_ / "group", root_ / "documents"});
    EXPECT_FALSE(reopened.getLocalItemWith("server-1", dropped));
}

}  // namespace
}  // namespace vk
