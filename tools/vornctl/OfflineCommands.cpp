// The offline commands of vornctl: `download ITEM` (the item's record fetched, a sync job for it
// downloaded into the documents directory and recorded in the offline store) and
// `offline list|play|report|sync|remove`. They take the server options of the other commands
// (--server-id alone: the stored credentials and this device's identity); the store and the
// downloads are the program's own (its application-group container and documents directory).
// `offline report` sends each server's queued actions to that server.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/ApiClientEx.h"
#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

constexpr std::chrono::minutes kWait{30};
constexpr std::int64_t kTicksPerMs = 10'000;

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    return 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: vornctl [server options] download ITEM [--json] [--max-downloads N]\n"
                 "       vornctl [server options] offline list [--json]\n"
                 "       vornctl [server options] offline play ITEM [--position-ms N]\n"
                 "       vornctl [server options] offline report\n"
                 "       vornctl [server options] offline sync\n"
                 "       vornctl [server options] offline remove ITEM\n%s",
                 vornctl::ServerOptions::usage());
    return 2;
}

struct Parsed {
    vornctl::ServerOptions server;
    bool json = false;
    std::optional<long long> maxDownloads;
    std::optional<long long> positionMs;
};

std::optional<Parsed> parse(const std::vector<std::string>& args, std::string& error) {
    Parsed out;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--json") {
            out.json = true;
        } else if (arg == "--max-downloads" || arg == "--position-ms") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            char* end = nullptr;
            long long value = std::strtoll(args[i + 1].c_str(), &end, 10);
            if (args[i + 1].empty() || *end != '\0' || value < 0) {
                error = arg + " needs a number";
                return std::nullopt;
            }
            (arg == "--max-downloads" ? out.maxDownloads : out.positionMs) = value;
            ++i;
        } else {
            rest.push_back(arg);
        }
    }
    auto server = vornctl::ServerOptions::parse(rest, error);
    if (!server)
        return std::nullopt;
    out.server = std::move(*server);
    return out;
}

/// The stored client when --server-id stands alone and one is stored, else one made from the
/// options; both record local playback in the program's offline store.
std::shared_ptr<vk::ApiClientEx> makeClient(const vornctl::ServerOptions& options) {
    if (auto stored = std::dynamic_pointer_cast<vk::ApiClientEx>(options.storedClient()))
        return stored;
    return std::make_shared<vk::ApiClientEx>(options.serverInfo(), options.deviceInfo());
}

/// The client with its address resolved, or null after printing why.
std::shared_ptr<vk::ApiClientEx> connect(const vornctl::ServerOptions& options) {
    auto client = makeClient(options);
    std::string error;
    if (!vornctl::resolveAddress(*client, error)) {
        fail(error);
        return nullptr;
    }
    return client;
}

bool runMainUntil(const std::function<bool()>& done) {
    return vk::RunLoop::main().runUntil(done, kWait);
}

std::string megabytes(std::int64_t bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return buffer;
}

std::string statusName(const vk::LocalItem& local) {
    auto status = local.syncJobStatus();
    return status ? std::string(vk::enumCoding(*status).name(static_cast<std::int64_t>(*status)))
                  : "status " + std::to_string(local.status);
}

int download(const Parsed& parsed) {
    if (parsed.server.positional.size() != 1)
        return usage();
    vornctl::StderrLog log;
    auto client = connect(parsed.server);
    if (!client)
        return 1;
    vk::SyncDownloader::Options options;
    // The user's "syncOnlyOnWifi" keeps downloads off the cellular link.
    options.networkAllowsSync =
        vk::SyncDownloader::wifiRule(vk::Reachability::reachabilityForInternetConnection());
    if (parsed.maxDownloads)
        options.maxConcurrentDownloads = static_cast<int>(*parsed.maxDownloads);
    // The item's record, so that the job names its parent or album.
    const std::string itemId = parsed.server.positional[0];
    std::optional<std::shared_ptr<vk::BaseItemDto>> fetched;
    bool answered = false;
    client->getItem(client->currentUserId(), itemId, vk::JsonDecoder(),
                    [&](std::optional<std::shared_ptr<vk::BaseItemDto>> record) {
                        vk::DispatchQueue::main()->async([&, record = std::move(record)] {
                            fetched = record;
                            answered = true;
                        });
                    });
    if (!runMainUntil([&] { return answered; }) || !fetched || !*fetched)
        return fail("no item " + itemId + " on the server (see the log above)");
    auto item = *fetched;
    auto downloader = vk::SyncDownloader::make(client, client->itemRepo(), options);
    const bool terminal = ::isatty(STDOUT_FILENO) != 0 && !parsed.json;
    std::size_t shownDone = 0;
    std::optional<vk::SyncDownloadResult> result;
    downloader->download(
        item,
        [&](const vk::SyncDownloadProgress& step) {
            if (terminal) {
                // One line redrawn in place: a bar when the whole size is known.
                int percent = step.totalExpected > 0
                                  ? static_cast<int>(step.totalBytes * 100 / step.totalExpected)
                                  : -1;
                std::string bar(30, ' ');
                for (int i = 0; i < 30 && percent >= 0 && i < percent * 30 / 100; ++i)
                    bar[static_cast<std::size_t>(i)] = '#';
                std::printf("\r[%s] %3d%%  %zu/%zu items  %s", bar.c_str(), std::max(percent, 0),
                            step.itemsDone, step.itemsTotal, megabytes(step.totalBytes).c_str());
                std::fflush(stdout);
            } else if (!parsed.json && step.itemsDone > shownDone) {
                shownDone = step.itemsDone;
                std::printf("downloaded %s (%zu/%zu items, %s)\n", step.itemId.c_str(),
                            step.itemsDone, step.itemsTotal, megabytes(step.totalBytes).c_str());
            }
        },
        [&](vk::SyncDownloadResult done) { result = std::move(done); });
    if (!runMainUntil([&] { return result.has_value(); }))
        return fail("the download did not end in time");
    if (terminal)
        std::printf("\n");
    if (parsed.json) {
        auto json = vk::JsonEncoder().encode(result->downloaded);
        std::printf("%s\n", json ? json->c_str() : "[]");
    } else {
        for (const auto& local : result->downloaded) {
            std::printf("%s  %s\n", local->itemId.c_str(),
                        local->localPath ? local->localPath.str().c_str() : "");
        }
        for (const auto& id : result->failed)
            std::printf("%s  not downloaded (see the log above)\n", id.c_str());
    }
    return result->complete() ? 0 : 1;
}

int list(const Parsed& parsed) {
    auto store = vk::OfflineDataController::sharedInstance();
    auto context = store->managedObjectContext();
    std::vector<std::shared_ptr<vk::LocalItem>> items;
    context->performAndWait([&] {
        auto found = context->fetch(
            vk::LocalItem::fetchRequest().where("serverId", parsed.server.serverId), nullptr);
        for (const auto& object : found.value_or(std::vector<std::shared_ptr<vk::ManagedObject>>{}))
            if (auto local = std::dynamic_pointer_cast<vk::LocalItem>(object))
                items.push_back(local);
    });
    if (parsed.json) {
        auto json = vk::JsonEncoder().encode(items);
        std::printf("%s\n", json ? json->c_str() : "[]");
        return 0;
    }
    for (const auto& local : items) {
        std::printf("%s  %-18s %s  %s\n", local->itemId.c_str(), statusName(*local).c_str(),
                    local->item ? local->item->Name.str().c_str() : "",
                    local->localPath ? local->localPath.str().c_str() : "-");
    }
    std::printf("(%zu local items)\n", items.size());
    return 0;
}

int play(const Parsed& parsed) {
    if (parsed.server.positional.size() != 1)
        return usage();
    const std::string itemId = parsed.server.positional[0];
    auto client = makeClient(parsed.server);
    auto store = client->itemRepo();
    auto local = store->getDownloadedItemWith(parsed.server.serverId, itemId);
    if (!local || !local->item)
        return fail("no downloaded item " + itemId + " of server " + parsed.server.serverId);
    const std::int64_t runTime = local->item->RunTimeTicks;
    const std::int64_t position =
        parsed.positionMs ? *parsed.positionMs * kTicksPerMs : runTime / 2;
    const std::size_t actionsBefore = store->getAllOfflineActions().size();
    // A play-through as a player reports it, under the item's local id: nothing reaches the
    // server; the store takes the resume point and, at the stop, an offline action.
    const std::string localId = "local:" + itemId;
    vk::PlaybackProgressInfo info(true, localId, itemId, false, 0, 1, false, "offline",
                                  vk::RepeatMode::RepeatNone, 0);
    info.PositionTicks = 0;
    client->reportPlaybackStart(info);
    info.EventName = vk::ProgressEvent::TimeUpdate;
    info.PositionTicks = position / 2;
    client->reportPlaybackProgress(info);
    vk::PlaybackStopInfo stop(0, 1, localId, itemId, "offline");
    stop.PositionTicks = position;
    client->reportPlaybackStopped(stop);
    // The store work runs on the main queue after the reports returned.
    vk::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(100));
    local = store->getLocalItemWith(parsed.server.serverId, itemId);
    const auto& data = local->item->UserData;
    std::printf("played %s locally to %.1f s of %.1f s\n", itemId.c_str(),
                static_cast<double>(position) / 1e7, static_cast<double>(runTime) / 1e7);
    if (data && local->item->SupportsResume) {
        std::printf("resume position stored:  %lld ticks (%.1f%%)%s\n",
                    static_cast<long long>(data->PlaybackPositionTicks.value_or(0)),
                    data->PlayedPercentage.value_or(0),
                    data->Played.value_or(false) ? ", played" : "");
    } else {
        std::printf("resume position stored:  none (the item does not resume)\n");
    }
    const std::size_t actions = store->getAllOfflineActions().size();
    std::printf("offline actions queued:  %zu (%zu new)\n", actions, actions - actionsBefore);
    return actions > actionsBefore ? 0 : 1;
}

/// Sends one server's actions through `client` and deletes them once the server took them; false
/// (after printing why) when they stay queued.
bool reportTo(const std::shared_ptr<vk::ApiClientEx>& client, const std::string& serverId,
              const std::vector<std::shared_ptr<vk::OfflineAction>>& actions) {
    std::string error;
    if (!vornctl::resolveAddress(*client, error)) {
        std::printf("%zu offline actions of server %s stay queued: %s\n", actions.size(),
                    serverId.c_str(), error.c_str());
        return false;
    }
    std::optional<std::optional<std::string>> answer;
    client->reportOfflineActions(actions, [&](std::optional<std::string> text) {
        vk::DispatchQueue::main()->async([&answer, text] { answer = text; });
    });
    if (!runMainUntil([&] { return answer.has_value(); }) || !*answer) {
        std::printf("%zu offline actions of server %s were not taken; they stay queued\n",
                    actions.size(), serverId.c_str());
        return false;
    }
    client->itemRepo()->deleteOfflineActions(actions);
    std::printf("sent %zu offline actions to server %s (answer %s); deleted them\n", actions.size(),
                serverId.c_str(), answer->value().c_str());
    return true;
}

/// Each server's actions go to that server: the one the options name through their client, the
/// others through the clients of the stored credentials. Actions of a server without a client,
/// or that did not take them, stay queued (exit 1).
int report(const Parsed& parsed) {
    vornctl::StderrLog log;
    auto store = vk::OfflineDataController::sharedInstance();
    auto actions = store->getAllOfflineActions();
    if (actions.empty()) {
        std::printf("no offline actions queued\n");
        return 0;
    }
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::shared_ptr<vk::OfflineAction>>> byServer;
    for (const auto& action : actions) {
        const std::string serverId = action->serverId ? action->serverId.str() : std::string();
        if (byServer.count(serverId) == 0)
            order.push_back(serverId);
        byServer[serverId].push_back(action);
    }
    bool allSent = true;
    for (const auto& serverId : order) {
        const auto& group = byServer[serverId];
        std::shared_ptr<vk::ApiClientEx> client;
        if (serverId.empty()) {
            std::printf("%zu offline actions name no server; they stay queued\n", group.size());
        } else if (serverId == parsed.server.serverId) {
            client = makeClient(parsed.server);
        } else {
            client = std::dynamic_pointer_cast<vk::ApiClientEx>(
                vk::ConnectionManager::sharedInstance()->getApiClient(serverId));
            if (!client) {
                std::printf(
                    "%zu offline actions of server %s stay queued: no stored credentials "
                    "for it (vornctl login)\n",
                    group.size(), serverId.c_str());
            }
        }
        allSent = client && reportTo(client, serverId, group) && allSent;
    }
    return allSent ? 0 : 1;
}

int sync(const Parsed& parsed) {
    vornctl::StderrLog log;
    auto client = connect(parsed.server);
    if (!client)
        return 1;
    auto downloader = vk::SyncDownloader::make(client, client->itemRepo());
    std::optional<std::optional<std::vector<std::string>>> removed;
    downloader->reconcile([&](auto ids) { removed = std::move(ids); });
    if (!runMainUntil([&] { return removed.has_value(); }) || !*removed)
        return fail("the server could not be asked");
    for (const auto& id : **removed)
        std::printf("removed %s\n", id.c_str());
    std::printf("%zu local items removed\n", (*removed)->size());
    return 0;
}

int remove(const Parsed& parsed) {
    if (parsed.server.positional.size() != 1)
        return usage();
    auto client = makeClient(parsed.server);
    auto downloader = vk::SyncDownloader::make(client, client->itemRepo());
    if (!downloader->removeLocalItem(parsed.server.positional[0]))
        return fail("no local item " + parsed.server.positional[0]);
    std::printf("removed %s\n", parsed.server.positional[0].c_str());
    return 0;
}

int downloadCommand(const std::vector<std::string>& args) {
    std::string error;
    auto parsed = parse(args, error);
    if (!parsed)
        return fail(error);
    return download(*parsed);
}

int offlineCommand(const std::vector<std::string>& args) {
    std::string error;
    auto parsed = parse(args, error);
    if (!parsed)
        return fail(error);
    if (parsed->server.positional.empty())
        return usage();
    const std::string what = parsed->server.positional.front();
    parsed->server.positional.erase(parsed->server.positional.begin());
    if (what == "list")
        return list(*parsed);
    if (what == "play")
        return play(*parsed);
    if (what == "report")
        return report(*parsed);
    if (what == "sync")
        return sync(*parsed);
    if (what == "remove")
        return remove(*parsed);
    return usage();
}

}  // namespace

VORNCTL_COMMAND("download",
                "download ITEM [--json]     download an item (and what is below it) for offline "
                "use",
                downloadCommand);
VORNCTL_COMMAND("offline",
                "offline list|play ITEM|report|sync|remove ITEM  the downloaded items, local "
                "play, offline actions, reconciliation",
                offlineCommand);
