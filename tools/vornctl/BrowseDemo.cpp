#include "tools/vornctl/BrowseDemo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Browse/FrontEndItem.h"
#include "VornKit/Browse/MediaSource.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vornctl {

namespace {

constexpr std::chrono::seconds kWait{30};

template <class T>
std::optional<T> wait(const std::function<void(std::function<void(T)>)>& start) {
    auto result = std::make_shared<std::optional<T>>();
    start([result](T value) {
        vk::DispatchQueue::main()->async(
            [result, value = std::move(value)]() mutable { *result = std::move(value); });
    });
    vk::RunLoop::main().runUntil([&] { return result->has_value(); }, kWait);
    return *result;
}

void show(const char* what, const vk::MediaSource::ItemList& items, std::size_t max = 3) {
    std::printf("  %s: %zu\n", what, items.size());
    for (std::size_t i = 0; i < items.size() && i < max; ++i)
        std::printf("    %-12s %s\n", items[i]->Type.str().c_str(),
                    items[i]->fullName().str().c_str());
}

}  // namespace

int runBrowseDemo() {
    refserver::RefServer::Options serverOptions;
    serverOptions.accessToken = "demo-browse-token";
    serverOptions.serverId = "demo-browse";
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 60;
    auto library = refserver::Library::install(server, libraryOptions);
    auto address = server.listen({"main", "127.0.0.1", 0, std::nullopt});
    if (!address) {
        std::printf("  the reference server did not start\n");
        return 1;
    }
    auto manager = vk::ConnectionManager::create();
    vk::ServerInfo info;
    info.Id = serverOptions.serverId;
    info.Name = "Reference Library";
    info.AccessToken = serverOptions.accessToken;
    info.UserId = library->userId();
    info.LocalAddress = *address;
    manager->updateApiClients(std::vector<vk::ServerInfo>{info});
    vk::MediaSource source(manager);
    const std::string id = info.Id;
    using List = vk::MediaSource::ItemList;

    auto views = wait<List>([&](auto done) { source.getUserViews(id, done); }).value_or(List{});
    show("views", views);
    auto music = std::find_if(views.begin(), views.end(),
                              [](const auto& view) { return view->Name == "Music"; });
    if (music != views.end()) {
        auto parent = (*music)->Id.str();
        show("artists in Music", wait<List>([&](auto done) {
                                     source.getChildren(id, parent, {}, done);
                                 }).value_or(List{}));
    }
    show("latest music",
         wait<List>([&](auto done) { source.getLatestMusic(id, done); }).value_or(List{}));
    show("favourite songs",
         wait<List>([&](auto done) { source.getFavoriteSongs(id, done); }).value_or(List{}));

    const auto& album = *library->ofType("MusicAlbum")[1];
    std::printf("  search \"%s\":\n", album.name.c_str());
    auto answer = wait<std::optional<vk::GetItemsResponse>>([&](auto done) {
                      source.searchForAll(source.getApiClient(id), album.name, done);
                  }).value_or(std::nullopt);
    if (!answer) {
        std::printf("    no answer\n");
        return 1;
    }
    bool foundAlbum = false;
    std::size_t tracks = 0;
    for (const auto& item : answer->Items) {
        std::printf("    %-12s %s\n", item->Type.str().c_str(), item->fullName().str().c_str());
        foundAlbum = foundAlbum || item->Id == album.id;
        tracks += item->AlbumId == album.id ? 1 : 0;
        if (item->Id == album.id) {
            auto cover = vk::coverURL(*item, manager);
            auto intent = vk::intentMediaItem(*item, manager);
            std::printf("      cover %s\n      voice item: type %d, id %s\n",
                        cover ? "URL built" : "none", static_cast<int>(intent.type),
                        intent.identifier.c_str());
        }
    }
    std::printf("  %lld found: the album %s, %zu of its tracks\n",
                static_cast<long long>(answer->TotalRecordCount), foundAlbum ? "found" : "missing",
                tracks);
    return foundAlbum && tracks == library->children(album.id).size() ? 0 : 1;
}

}  // namespace vornctl
