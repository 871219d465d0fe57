// `vornctl demo`: runs the framework end to end and prints what really ran.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Settings/AppSettings.h"
#include "tools/vornctl/BrowseDemo.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/CompanionDemo.h"
#include "tools/vornctl/IdentityDemo.h"
#include "tools/vornctl/LibraryDemo.h"
#include "tools/vornctl/NetworkDemo.h"
#include "tools/vornctl/OfflineDemo.h"
#include "tools/vornctl/PlaybackDemo.h"

namespace {

std::string joinList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", \"" : "\"") + items[i] + "\"";
    }
    return out + "]";
}

/// Shows the framework's log lines in the demo's own output, where they happen.
class InlineLogSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        std::lock_guard lock(mutex_);
        std::printf("  [log %s] %s\n", record.category.c_str(), record.message.c_str());
        std::fflush(stdout);
    }

  private:
    std::mutex mutex_;
};

void section(const char* title) {
    std::printf("\n== %s\n", title);
}

int demoPlatform() {
    section("Platform");
    auto env = vk::Environment::current();
    auto bundle = vk::Bundle::main();
    std::printf("bundle identifier:        %s\n", bundle.identifier.value_or("(none)").c_str());
    std::printf("data home:                %s\n", env->dataHome().c_str());
    std::printf("config home:              %s\n", env->configHome().c_str());
    auto documents = vk::Directories::documents();
    auto group = vk::Directories::applicationGroupContainer();
    std::printf("documents directory:      %s\n", documents ? documents->c_str() : "(unavailable)");
    std::printf("application-group dir:    %s\n", group ? group->c_str() : "(unavailable)");
    auto temporary = vk::Directories::temporary();
    std::printf("temporary directory:      %s\n", temporary ? temporary->c_str() : "(unavailable)");
    std::printf("standard defaults file:   %s\n", vk::UserDefaults::standard()->file().c_str());
    return (documents && group) ? 0 : 1;
}

int demoSettings() {
    section("Settings (AppSettings over the standard user defaults)");
    vk::AppSettings settings;
    // Entries as the web user interface writes them (text), then read back typed.
    settings.set("cameraUploadServers", "server-a,,server-b");
    settings.set("cameraUploadFolders", "Camera||Screenshots");
    settings.set("syncOnlyOnWifi", "FALSE");
    settings.set("skipForwardLength", "30000");
    settings.set("skipBackLength", "not a number");
    settings.remove("saveStreamServers");
    settings.set("localplayersubtitleappearance3",
                 R"({"textSize":"Large","dropShadow":"UNIFORM","textBackgroundOpacity":"0.5"})");
    settings.setSyncActive(true);

    std::printf("getCameraUploadServers()  %s\n",
                joinList(settings.getCameraUploadServers()).c_str());
    std::printf("getCameraUploadFolders()  %s\n",
                joinList(settings.getCameraUploadFolders()).c_str());
    std::printf("getSyncOnlyOnWifi()       %s   (stored \"FALSE\": only \"false\" turns it off)\n",
                settings.getSyncOnlyOnWifi() ? "true" : "false");
    std::printf("getSaveStreamServers()    %s   (absent: one empty entry)\n",
                joinList(settings.getSaveStreamServers()).c_str());
    std::printf("getSkipForwardLength()    %lld\n",
                static_cast<long long>(settings.getSkipForwardLength()));
    std::printf("getSkipBackLength()       %lld   (unparsable text: default)\n",
                static_cast<long long>(settings.getSkipBackLength()));
    std::printf("getSyncActive()           %s\n", settings.getSyncActive() ? "true" : "false");
    auto styles = settings.getSubtitleStyles();
    std::printf("getSubtitleStyles()       %s\n", styles->encode().c_str());
    return 0;
}

int demoOffline() {
    section("Offline store (Vorn.sqlite in the application-group container)");
    auto store = vk::OfflineDataController::sharedInstance();
    auto context = store->managedObjectContext();
    auto coordinator = context->persistentStoreCoordinator();
    if (!coordinator || !coordinator->hasStores()) {
        std::printf("no store could be opened\n");
        return 1;
    }
    std::printf("store file:               %s\n",
                coordinator->persistentStores().front()->location.c_str());

    // An album and its tracks as the server describes them, kept as downloaded local items.
    auto [decoder, ctx] = store->getManagedObjectDecoder();
    auto keep = [&, &decoder = decoder](const std::string& json, const std::string& path) {
        auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(json);
        if (!item) {
            std::printf("decode failed: %s\n", item.error().description().c_str());
            return;
        }
        auto local = store->insertNewLocalItem();
        local->itemId = (*item)->Id.str();
        local->serverId = (*item)->ServerId.str();
        local->setSyncJobStatus(vk::SyncJobStatus::Completed);
        if (!path.empty()) {
            local->localPath = path;
        }
        local->item = *item;
    };
    keep(
        R"({"Id":"album-1","ServerId":"demo","Name":"Blue Hours","Type":"MusicAlbum","IsFolder":true})",
        "");
    keep(
        R"({"Id":"track-1","ServerId":"demo","Name":"Morning","Type":"Audio","AlbumId":"album-1","Artists":["Ada"]})",
        "Music/track-1.flac");
    keep(
        R"({"Id":"track-2","ServerId":"demo","Name":"Evening","Type":"Audio","AlbumId":"album-1","Artists":["Ada"]})",
        "Music/track-2.flac");
    store->saveChanges();

    auto types = store->getDistinctLocalItemTypes("demo");
    std::printf("getDistinctLocalItemTypes %s\n", joinList(types).c_str());
    for (const auto& type : types) {
        std::printf("  %-10s", type.c_str());
        for (const auto& local : store->getLocalItemsByType("demo", {type})) {
            std::printf(" %s (%s)", local->itemId.c_str(),
                        local->item ? local->item->fullName().str().c_str() : "?");
        }
        std::printf("\n");
    }
    for (const char* id : {"track-1", "track-2"}) {
        std::printf("deleteLocalItem(%s)\n", id);
        store->deleteLocalItem("demo", id);
        store->saveChanges();
        std::vector<std::string> left;
        for (const auto& local : store->getAllLocalItemsForServer("demo")) {
            left.push_back(local->itemId);
        }
        std::printf("  downloaded now:          %s\n", joinList(left).c_str());
    }
    return store->getAllLocalItemsForServer("demo").empty() ? 0 : 1;
}

int runDemo(const std::vector<std::string>& args) {
    // A throw-away home unless --real-home: the demo writes settings, a store and downloads.
    bool realHome = false;
    for (const auto& a : args) {
        realHome = realHome || a == "--real-home";
    }
    if (!realHome) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vornctl-demo-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "error: cannot create a temporary home\n");
            return 1;
        }
        vk::Environment::install(vk::Environment::rootedAt(pattern));
    }
    vk::Log::setSink(std::make_shared<InlineLogSink>());
    std::printf("VornKit demo: every line below comes from the framework as it ran.\n");
    int status = 0;
    status |= demoPlatform();
    status |= demoSettings();
    section("Server address resolution and an authorised request (reference server)");
    status |= vornctl::runNetworkDemo();
    section("Library: queries, stream and image URLs, image cache, playback reports");
    status |= vornctl::runLibraryDemo();
    section("Identity: keychain, device, login, stored servers, reachability");
    status |= vornctl::runIdentityDemo(!realHome);
    section("Browsing: views, latest, favourites and a search for an album by name");
    status |= vornctl::runBrowseDemo();
    status |= demoOffline();
    section("Playback: the event bridge plays two tracks (web view statements, server reports)");
    status |= vornctl::runPlaybackDemo();
    section("Downloads for offline use: sync job, local play, offline action, reconcile");
    status |= vornctl::runOfflineDemo();
    section("Companion link: the watch simulator asks for credentials, plays an album, skips");
    status |= vornctl::runCompanionDemo();
    std::printf("\n%s\n", status == 0 ? "demo finished" : "demo finished with failures");
    return status;
}

}  // namespace

VORNCTL_COMMAND("demo",
                "demo [--real-home]         run the framework end to end and show it (a throw-away "
                "home unless --real-home)",
                runDemo);
