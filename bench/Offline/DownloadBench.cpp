// Downloads for offline use, against the reference server on loopback, in one run:
//
//   offline.download_vs_libcurl_flushed  an album of 20 tracks of 8 MB each through
//       SyncDownloader (job, ready items, 2 files at once, partial files flushed and renamed into
//       place, the covers, LocalItems saved, transfers confirmed) against a plain libcurl loop
//       writing the same 20 media files one after another, each flushed to disk (fdatasync) and
//       renamed into place, as durably as the downloader keeps them. Best of three runs each,
//       alternating.                                                         (target <= 1.0)
//       For information, the same loop without the flush (offline.download_vs_libcurl), and the
//       disk alone: the same bytes written from memory, each file flushed and renamed, which no
//       durable download can beat.
//   offline.download_peak_rss    one file of 1 GB through SyncDownloader: the process's peak
//       resident memory during the download above its resident memory before. (target < 64 MB)
//   offline.reconcile_scale      reconcile() with 10,000 and with 1,000 downloaded items (the
//       server drops every tenth): the time of each and their ratio.          (target <= 12)
//
// The downloads go to a folder under the system's temporary directory (the same disk for both
// sides of the first comparison).
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

[[noreturn]] void failed(const char* what) {
    std::fprintf(stderr, "bench_offline_download: %s\n", what);
    std::exit(1);
}

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return -1;
}

void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Fixture {
    refserver::RefServer server;
    std::shared_ptr<refserver::Library> library;
    std::shared_ptr<refserver::SyncJobs> sync;
    std::string base;
    fs::path root;

    Fixture() {
        refserver::LibraryOptions options;
        options.tracks = 40;
        options.tracksPerAlbum = 20;
        options.albumsPerArtist = 2;
        options.coverSize = 64;
        library = refserver::Library::install(server, options);
        refserver::SyncOptions sync_options;
        sync_options.mediaBytes = 8 << 20;
        sync = refserver::SyncJobs::install(server, library, sync_options);
        base = *server.listen({"bench", "127.0.0.1", 0, std::nullopt});
        root = fs::temp_directory_path() / "vornkit-bench-offline";
        fs::remove_all(root);
        fs::create_directories(root);
    }

    std::shared_ptr<vk::ApiClient> client() {
        vk::ServerInfo info;
        info.Id = "bench";
        info.Name = "Bench";
        info.AccessToken = "t";
        info.UserId = library->userId();
        auto made = std::make_shared<vk::ApiClient>(
            info, vk::DeviceInfo("bench-device", std::string("Bench"), std::string("1.0"), "Vorn"));
        made->setServerAddress(base);
        return made;
    }

    /// A new store and downloads folder; the downloader over them.
    std::pair<std::shared_ptr<vk::SyncDownloader>, std::shared_ptr<vk::OfflineDataController>>
    downloader(const fs::path& dir) {
        fs::remove_all(dir);
        fs::create_directories(dir / "group");
        fs::create_directories(dir / "documents");
        auto store = std::make_shared<vk::OfflineDataController>(
            vk::OfflineDataController::Locations{dir / "group", dir / "documents"});
        vk::SyncDownloader::Options options;
        options.documents = dir / "documents";
        options.pollInterval = std::chrono::milliseconds(5);
        return {vk::SyncDownloader::make(client(), store, options), store};
    }

    void download(vk::SyncDownloader& downloader, const std::string& itemId) {
        auto item = std::make_shared<vk::BaseItemDto>();
        item->Id = itemId;
        std::optional<vk::SyncDownloadResult> result;
        downloader.download(item, nullptr, [&](vk::SyncDownloadResult r) { result = r; });
        if (!vk::RunLoop::main().runUntil([&] { return result.has_value(); },
                                          std::chrono::minutes(10)) ||
            !result->complete()) {
            failed("a download did not complete");
        }
    }
};

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

double libcurlLoop(Fixture& fixture, const std::vector<std::int64_t>& jobItems, const fs::path& dir,
                   bool flushEachFile) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(
        nullptr, "X-Vorn-Authorization: Talvex Device=Bench,DeviceId=bench-device,Token=t");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
    auto start = Clock::now();
    for (std::int64_t id : jobItems) {
        const std::string url =
            fixture.base + "/vorn/Sync/JobItems/" + std::to_string(id) + "/File";
        const fs::path partial = dir / (std::to_string(id) + ".partial");
        FILE* file = std::fopen(partial.c_str(), "wb");
        if (file == nullptr)
            failed("cannot create a libcurl file");
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
        if (curl_easy_perform(easy) != CURLE_OK)
            failed("libcurl transfer failed");
        if (flushEachFile && (std::fflush(file) != 0 || ::fdatasync(::fileno(file)) != 0))
            failed("cannot flush a libcurl file");
        std::fclose(file);
        fs::rename(partial, dir / (std::to_string(id) + ".bin"));
    }
    double ms = msSince(start);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return ms;
}

/// The disk's own share: the same bytes (20 files of 8 MB) written from memory, each file flushed
/// (fdatasync) and renamed into place, with no network at all.
double diskFloor(const fs::path& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::vector<char> bytes(8 << 20, 'v');
    auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        const fs::path partial = dir / (std::to_string(i) + ".partial");
        FILE* file = std::fopen(partial.c_str(), "wb");
        if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
            std::fflush(file) != 0 || ::fdatasync(::fileno(file)) != 0)
            failed("cannot write the disk reference");
        std::fclose(file);
        fs::rename(partial, dir / (std::to_string(i) + ".bin"));
    }
    return msSince(start);
}

/// N downloaded local items of server "bench" (with item records), saved.
void populate(vk::OfflineDataController& store, int n) {
    auto [decoder, context] = store.getManagedObjectDecoder();
    for (int i = 0; i < n; ++i) {
        const std::string id = "item-" + std::to_string(i);
        auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
            R"({"Id":")" + id + R"(","ServerId":"bench","Type":"Audio","Name":"Track )" +
            std::to_string(i) + R"(","AlbumId":"album-)" + std::to_string(i / 10) + "\"}");
        auto local = store.insertNewLocalItem();
        local->itemId = id;
        local->serverId = "bench";
        local->setSyncJobStatus(vk::SyncJobStatus::Completed);
        local->localPath = "bench/" + id + "/media";
        local->item = *item;
    }
    store.saveChanges();
}

double reconcileMs(Fixture& fixture, int n) {
    auto [downloader, store] =
        fixture.downloader(fixture.root / ("reconcile-" + std::to_string(n)));
    populate(*store, n);
    auto start = Clock::now();
    std::optional<std::optional<std::vector<std::string>>> removed;
    downloader->reconcile([&](auto ids) { removed = std::move(ids); });
    vk::RunLoop::main().runUntil([&] { return removed.has_value(); }, std::chrono::minutes(5));
    double ms = msSince(start);
    if (!removed || !*removed || (*removed)->size() != static_cast<std::size_t>(n / 10))
        failed("reconcile did not remove every tenth item");
    return ms;
}

}  // namespace

int main() {
    vk::Environment::install(
        vk::Environment::rootedAt(fs::temp_directory_path() / "vornkit-bench-offline-env"));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Fixture fixture;
    // VK_BENCH_ONLY=reconcile runs the third part alone (for profiling it).
    const char* only = std::getenv("VK_BENCH_ONLY");
    if (only == nullptr || std::string(only) != "reconcile") {
        // 1. 20 files of 8 MB: SyncDownloader against a libcurl loop.
        const auto& album = *fixture.library->ofType("MusicAlbum").front();
        double bestDownloader = 1e300;
        double bestCurl = 1e300;
        double bestCurlFlushed = 1e300;
        double bestDisk = 1e300;
        std::vector<std::int64_t> jobItems;
        for (int round = 0; round < 3; ++round) {
            auto [downloader, store] = fixture.downloader(fixture.root / "sync");
            auto start = Clock::now();
            fixture.download(*downloader, album.id);
            bestDownloader = std::min(bestDownloader, msSince(start));
            jobItems.clear();
            for (const auto& state : fixture.sync->jobItems())
                if (state.itemId.size() && state.jobId == fixture.sync->jobItems().back().jobId)
                    jobItems.push_back(state.id);
            bestCurl =
                std::min(bestCurl, libcurlLoop(fixture, jobItems, fixture.root / "curl", false));
            bestCurlFlushed = std::min(bestCurlFlushed,
                                       libcurlLoop(fixture, jobItems, fixture.root / "curl", true));
            bestDisk = std::min(bestDisk, diskFloor(fixture.root / "disk"));
        }
        if (jobItems.size() != 20)
            failed("the album does not have 20 tracks");
        std::printf(
            "offline.download_vs_libcurl_flushed ratio=%.2f (target <= 1.0) downloader_ms=%.0f "
            "libcurl_flushed_ms=%.0f files=20x8MB\n",
            bestDownloader / bestCurlFlushed, bestDownloader, bestCurlFlushed);
        std::printf(
            "offline.download_vs_libcurl ratio=%.2f (for information: the loop does not flush "
            "its files before the rename) libcurl_ms=%.0f\n",
            bestDownloader / bestCurl, bestCurl);
        std::printf(
            "offline.download_vs_disk_floor ratio=%.2f (for information: the same 160 MB written "
            "from memory, each file flushed and renamed, no network) disk_ms=%.0f\n",
            bestDownloader / bestDisk, bestDisk);
        fs::remove_all(fixture.root / "disk");
        fs::remove_all(fixture.root / "sync");
        fs::remove_all(fixture.root / "curl");

        // 2. One file of 1 GB: peak resident memory above the baseline.
        fixture.sync->setMediaBytes(std::uint64_t{1} << 30);
        {
            auto [downloader, store] = fixture.downloader(fixture.root / "big");
            store->managedObjectContext();
            const auto& track = *fixture.library->ofType("Audio").back();
            resetPeakRss();
            const long before = statusKb("VmRSS:");
            resetPeakRss();
            auto start = Clock::now();
            fixture.download(*downloader, track.id);
            const double ms = msSince(start);
            const long peak = statusKb("VmHWM:");
            std::printf(
                "offline.download_peak_rss above_baseline_mb=%.1f (target < 64) baseline_mb=%.1f "
                "file=1GB seconds=%.1f\n",
                static_cast<double>(peak - before) / 1024.0, static_cast<double>(before) / 1024.0,
                ms / 1000.0);
        }
        fs::remove_all(fixture.root / "big");
    }

    // 3. reconcile() at two sizes: the server drops every tenth item.
    fixture.server.route("POST", "Sync/Data",
                         [](const refserver::Request& request, refserver::Response& response) {
                             // Every tenth of "item-<n>" ids: n % 10 == 0.
                             std::string out = "{\"ItemIdsToRemove\":[";
                             const std::string& body = request.recorded.body;
                             bool first = true;
                             for (std::size_t at = body.find("\"item-"); at != std::string::npos;
                                  at = body.find("\"item-", at + 1)) {
                                 std::size_t end = body.find('"', at + 1);
                                 std::string id = body.substr(at + 1, end - at - 1);
                                 if (id.back() == '0') {
                                     out += (first ? "\"" : ",\"") + id + "\"";
                                     first = false;
                                 }
                             }
                             response.body = out + "]}";
                         });
    double small = 1e300;
    double large = 1e300;
    for (int round = 0; round < 3; ++round) {
        small = std::min(small, reconcileMs(fixture, 1'000));
        large = std::min(large, reconcileMs(fixture, 10'000));
    }
    std::printf("offline.reconcile_scale ratio=%.2f (target <= 12) ms_1000=%.1f ms_10000=%.1f\n",
                large / small, small, large);
    fs::remove_all(fixture.root);
    return 0;
}
