#include "tools/vornctl/OfflineDemo.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "VornKit/Offline/ApiClientEx.h"
#include "VornKit/Offline/FileSystem.h"
#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"

namespace vornctl {

namespace {

constexpr const char* kToken = "demo-token-offline";
constexpr const char* kUser = "demo-user-1";
constexpr std::chrono::seconds kWait{60};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int runOfflineDemo() {
    refserver::RefServer::Options options;
    options.accessToken = kToken;
    options.serverId = "offline-demo-server";
    refserver::RefServer server(options);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 9;
    libraryOptions.tracksPerAlbum = 3;
    libraryOptions.userId = kUser;
    libraryOptions.coverSize = 64;
    auto library = refserver::Library::install(server, libraryOptions);
    refserver::SyncOptions syncOptions;
    syncOptions.readyDelay = std::chrono::milliseconds(300);
    auto sync = refserver::SyncJobs::install(server, library, syncOptions);
    auto base = server.listen({"main", "127.0.0.1", 0, std::nullopt});
    if (!base) {
        std::printf("cannot start the reference server\n");
        return 1;
    }
    vk::ServerInfo info;
    info.Id = options.serverId;
    info.Name = "Offline demo server";
    info.AccessToken = kToken;
    info.UserId = kUser;
    info.LocalAddress = *base;
    auto client = std::make_shared<vk::ApiClientEx>(
        info, vk::DeviceInfo("demo-device", std::string("vornctl demo"), std::string("0.1.0"),
                             "vornctl"));
    client->setServerAddress(*base);
    auto store = client->itemRepo();
    vk::SyncDownloader::Options downloadOptions;
    downloadOptions.pollInterval = std::chrono::milliseconds(100);
    auto downloader = vk::SyncDownloader::make(client, store, downloadOptions);
    int status = 0;

    // 1. An album, through a sync job whose items become ready after 300 ms.
    const refserver::LibraryItem& album = *library->ofType("MusicAlbum").front();
    std::printf("download album \"%s\" (%s)\n", album.name.c_str(), album.id.c_str());
    auto item = std::make_shared<vk::BaseItemDto>();
    item->Id = album.id;
    std::optional<vk::SyncDownloadResult> result;
    std::size_t shown = 0;
    downloader->download(
        item,
        [&](const vk::SyncDownloadProgress& step) {
            if (step.itemsDone > shown) {
                shown = step.itemsDone;
                std::printf("  item %zu/%zu done: %s (%lld bytes so far)\n", step.itemsDone,
                            step.itemsTotal, step.itemId.c_str(),
                            static_cast<long long>(step.totalBytes));
            }
        },
        [&](vk::SyncDownloadResult done) { result = std::move(done); });
    vk::RunLoop::main().runUntil([&] { return result.has_value(); }, kWait);
    if (!result || !result->complete()) {
        std::printf("  the download did not complete\n");
        return 1;
    }
    const std::filesystem::path docs = downloader->documents();
    for (const auto& local : result->downloaded) {
        const bool same = readFile(docs / local->localPath.str()) == sync->mediaFile(local->itemId);
        std::printf("  %s -> %s  %s\n", local->itemId.c_str(), local->localPath.str().c_str(),
                    same ? "(byte-identical to the server's file)" : "(DIFFERS)");
        status |= same ? 0 : 1;
    }
    std::printf("  transfers confirmed to the server: %zu\n", sync->transferred().size());

    // 2. A track played from its local copy: nothing is reported to the server.
    const std::string trackId = result->downloaded.front()->itemId;
    auto local = store->getDownloadedItemWith(info.Id, trackId);
    const std::int64_t runTime = local->item->RunTimeTicks;
    std::printf("play %s offline, stop at 95%% of %.0f s\n", trackId.c_str(),
                static_cast<double>(runTime) / 1e7);
    vk::PlaybackStopInfo stop(0, 1, "local:" + trackId, trackId, "offline-demo");
    stop.PositionTicks = runTime * 95 / 100;
    client->reportPlaybackStopped(stop);
    vk::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(100));
    auto actions = store->getAllOfflineActions();
    local = store->getLocalItemWith(info.Id, trackId);
    const auto& data = local->item->UserData;
    std::printf("  reports the server received: %zu\n", library->reports().size());
    std::printf("  stored user data: played=%s position=%lld\n",
                data && data->Played.value_or(false) ? "true" : "false",
                static_cast<long long>(data ? data->PlaybackPositionTicks.value_or(-1) : -1));
    std::printf("  offline actions queued: %zu\n", actions.size());
    status |= actions.size() == 1 && library->reports().empty() ? 0 : 1;

    // 3. The queued action goes to the server, then leaves the store.
    std::optional<std::optional<std::string>> answer;
    client->reportOfflineActions(actions, [&](std::optional<std::string> text) {
        vk::DispatchQueue::main()->async([&answer, text] { answer = text; });
    });
    vk::RunLoop::main().runUntil([&] { return answer.has_value(); }, kWait);
    if (answer && *answer)
        store->deleteOfflineActions(actions);
    auto sent = sync->offlineActions();
    std::printf("send offline actions: answer %s; the server holds %s\n",
                answer && *answer ? (*answer)->c_str() : "none",
                sent.empty() ? "nothing" : sent.back().c_str());
    std::printf("  offline actions still queued: %zu\n", store->getAllOfflineActions().size());
    status |= sent.size() == 1 && store->getAllOfflineActions().empty() ? 0 : 1;

    // 4. The server drops a track; reconciliation removes it here too.
    const std::string droppedId = result->downloaded.back()->itemId;
    sync->dropItem(droppedId);
    std::printf("server drops %s; reconcile\n", droppedId.c_str());
    std::optional<std::optional<std::vector<std::string>>> removed;
    downloader->reconcile([&](auto ids) { removed = std::move(ids); });
    vk::RunLoop::main().runUntil([&] { return removed.has_value(); }, kWait);
    const bool gone = removed && *removed && (*removed)->size() == 1 &&
                      (*removed)->front() == droppedId &&
                      !store->getLocalItemWith(info.Id, droppedId) &&
                      !std::filesystem::exists(docs / info.Id / droppedId);
    std::printf(
        "  removed: %s; its files gone: %s; downloaded items left: %zu\n",
        removed && *removed && !(*removed)->empty() ? (*removed)->front().c_str() : "nothing",
        std::filesystem::exists(docs / info.Id / droppedId) ? "no" : "yes",
        store->getAllLocalItemsForServer(info.Id).size());
    status |= gone ? 0 : 1;
    return status;
}

}  // namespace vornctl
