// `vornctl browse` and `vornctl search`: music browsing and search through MediaSource, against
// any server. The server options of the other commands apply: an address and token register that
// server's client with the connection manager for this run (nothing is stored); --server-id alone
// takes the client of the stored credentials. Lists print one item per line (id, type, name);
// --json prints the records instead.
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Browse/MediaSource.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

constexpr std::chrono::seconds kWait{120};

const char* kBrowseUsage =
    "browse servers|views|latest|recent|frequent|favorite-songs|favorite-albums|\n"
    "       favorite-artists [--json]\n"
    "       browse children [PARENT-ID] [--json]\n"
    "       browse random TYPE [--json]\n";

int usage(const char* text) {
    std::fprintf(stderr, "usage: vornctl [server options] %s%s", text,
                 vornctl::ServerOptions::usage());
    return 2;
}

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    return 1;
}

/// Takes --json out of `args`; the rest are server options and positional words.
std::optional<vornctl::ServerOptions> parse(std::vector<std::string> args, bool& json, bool& help) {
    std::vector<std::string> rest;
    for (auto& arg : args) {
        if (arg == "--json")
            json = true;
        else if (arg == "--help" || arg == "-h")
            help = true;
        else
            rest.push_back(std::move(arg));
    }
    std::string error;
    auto options = vornctl::ServerOptions::parse(rest, error);
    if (!options)
        fail(error);
    return options;
}

/// The server's client in the shared connection manager, with a resolved address; null after
/// printing why.
std::shared_ptr<vk::ApiClient> registeredClient(const vornctl::ServerOptions& options) {
    auto manager = vk::ConnectionManager::sharedInstance();
    if (!options.serverIdGiven || options.recordGiven)
        manager->updateApiClients(std::vector<vk::ServerInfo>{options.serverInfo()});
    auto client = manager->getApiClient(options.serverId);
    if (!client) {
        fail("no stored credentials for server " + options.serverId +
             " (give --local/--token, or vornctl login)");
        return nullptr;
    }
    std::string error;
    if (!vornctl::resolveAddress(*client, error)) {
        fail(error);
        return nullptr;
    }
    return client;
}

/// Starts `start` and services the main queue until its completion ran; absent on time-out.
template <class T>
std::optional<T> wait(const std::function<void(std::function<void(T)>)>& start) {
    auto result = std::make_shared<std::optional<T>>();
    start([result](T value) {
        vk::DispatchQueue::main()->async(
            [result, value = std::move(value)]() mutable { *result = std::move(value); });
    });
    if (!vk::RunLoop::main().runUntil([&] { return result->has_value(); }, kWait))
        return std::nullopt;
    return std::move(*result);
}

int printItems(const vk::ApiClient::ItemList& items, bool json) {
    if (json) {
        auto text = vk::JsonEncoder().encode(items);
        if (!text)
            return fail("the answer cannot be written as JSON");
        std::printf("%s\n", text->c_str());
        return 0;
    }
    for (const auto& item : items) {
        std::printf("%s  %-16s %s\n", item->Id.str().c_str(), item->Type.str().c_str(),
                    item->fullName().str().c_str());
    }
    return 0;
}

int printServers(const std::vector<std::shared_ptr<vk::ApiClient>>& clients, bool json) {
    if (json) {
        std::vector<vk::ServerInfo> infos;
        for (const auto& client : clients) {
            infos.push_back(client->serverInfo());
            infos.back().AccessToken = std::nullopt;  // never printed
        }
        auto text = vk::JsonEncoder().encode(infos);
        if (!text)
            return fail("the servers cannot be written as JSON");
        std::printf("%s\n", text->c_str());
        return 0;
    }
    for (const auto& client : clients) {
        std::printf("%s  %s  %s\n", client->serverId().c_str(), client->serverName().c_str(),
                    client->serverAddress().value_or("(no address yet)").c_str());
    }
    return 0;
}

int browseCommand(const std::vector<std::string>& args) {
    bool json = false, help = false;
    auto options = parse(args, json, help);
    if (!options)
        return 2;
    const auto& words = options->positional;
    if (help || words.empty())
        return usage(kBrowseUsage);
    const std::string& what = words[0];
    vornctl::StderrLog log;
    vk::MediaSource source(vk::ConnectionManager::sharedInstance());
    if (what == "servers") {
        if (!options->serverIdGiven || options->recordGiven)
            registeredClient(*options);
        return printServers(source.getServerList(), json);
    }
    auto client = registeredClient(*options);
    if (!client)
        return 1;
    const std::string id = client->serverId();
    using List = vk::MediaSource::ItemList;
    std::function<void(std::function<void(List)>)> start;
    if (what == "views") {
        start = [&](auto done) { source.getUserViews(id, done); };
    } else if (what == "children") {
        std::optional<std::string> parent;
        if (words.size() > 1)
            parent = words[1];
        start = [&, parent](auto done) { source.getChildren(id, parent, {}, done); };
    } else if (what == "latest") {
        start = [&](auto done) { source.getLatestMusic(id, done); };
    } else if (what == "recent") {
        start = [&](auto done) { source.getRecentlyPlayedMusic(id, done); };
    } else if (what == "frequent") {
        start = [&](auto done) { source.getFrequentlyPlayedMusic(id, done); };
    } else if (what == "favorite-songs") {
        start = [&](auto done) { source.getFavoriteSongs(id, done); };
    } else if (what == "favorite-albums") {
        start = [&](auto done) { source.getFavoriteAlbums(id, done); };
    } else if (what == "favorite-artists") {
        start = [&](auto done) { source.getFavoriteArtists(id, done); };
    } else if (what == "random") {
        if (words.size() < 2)
            return usage(kBrowseUsage);
        auto answer = wait<std::optional<vk::GetItemsResponse>>(
            [&](auto done) { source.getRandomItems(client, words[1], done); });
        if (!answer || !*answer)
            return fail("request failed (see the log above)");
        return printItems((*answer)->Items, json);
    } else {
        return usage(kBrowseUsage);
    }
    auto items = wait<List>(start);
    if (!items)
        return fail("no answer");
    return printItems(*items, json);
}

int searchCommand(const std::vector<std::string>& args) {
    bool json = false, help = false;
    auto options = parse(args, json, help);
    if (!options)
        return 2;
    if (help || options->positional.size() != 1)
        return usage("search TEXT [--json]\n");
    vornctl::StderrLog log;
    auto client = registeredClient(*options);
    if (!client)
        return 1;
    vk::MediaSource source(vk::ConnectionManager::sharedInstance());
    auto answer = wait<std::optional<vk::GetItemsResponse>>(
        [&](auto done) { source.searchForAll(client, options->positional[0], done); });
    if (!answer || !*answer)
        return fail("no answer");
    int status = printItems((*answer)->Items, json);
    if (!json)
        std::printf("(%lld found)\n", static_cast<long long>((*answer)->TotalRecordCount));
    return status;
}

}  // namespace

VORNCTL_COMMAND("browse",
                "browse WHAT [ID|TYPE] [--json]  music browsing: servers, views, children, "
                "latest, recent, frequent, favorite-songs/-albums/-artists, random",
                browseCommand);
VORNCTL_COMMAND("search", "search TEXT [--json]       items, albums and artists matching TEXT",
                searchCommand);
