// A process that downloads one item through SyncDownloader and exits, for the tests that kill a
// download in flight:
//   offline_download_helper BASE ROOT ITEM
// BASE is the reference server's address (token "token-abc", user "user-1", server "server-1");
// ROOT holds the store ("group") and the downloads ("documents"). Prints "done" and exits 0 when
// every item of the job is downloaded, exits 1 otherwise.
#include <cstdio>
#include <filesystem>

#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: offline_download_helper BASE ROOT ITEM\n");
        return 2;
    }
    const std::filesystem::path root = argv[2];
    vk::Environment::install(vk::Environment::rootedAt(root / "environment"));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.tests.download";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());

    vk::ServerInfo info;
    info.Id = "server-1";
    info.Name = "Server";
    info.AccessToken = "token-abc";
    info.UserId = "user-1";
    auto client = std::make_shared<vk::ApiClient>(
        info, vk::DeviceInfo("device-42", std::string("Helper"), std::string("1.0"), "Vorn"));
    client->setServerAddress(std::string(argv[1]));
    auto store = std::make_shared<vk::OfflineDataController>(
        vk::OfflineDataController::Locations{root / "group", root / "documents"});
    vk::SyncDownloader::Options options;
    options.documents = root / "documents";
    options.pollInterval = std::chrono::milliseconds(10);
    auto downloader = vk::SyncDownloader::make(client, store, options);
    auto item = std::make_shared<vk::BaseItemDto>();
    item->Id = argv[3];
    bool finished = false;
    bool complete = false;
    downloader->download(item, nullptr, [&](vk::SyncDownloadResult result) {
        finished = true;
        complete = result.complete();
    });
    vk::RunLoop::main().runUntil([&] { return finished; }, std::chrono::seconds(120));
    if (complete)
        std::printf("done\n");
    return complete ? 0 : 1;
}
