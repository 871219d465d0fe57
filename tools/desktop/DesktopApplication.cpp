#include "DesktopApplication.h"

#include <glib-unix.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>

#include "PageMessage.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Playback/JavaScriptText.h"

namespace desktop {

namespace {

const vk::Logger& logger() {
    static const vk::Logger log("DesktopApplication");
    return log;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool isWebAddress(const std::string& text) {
    auto lower = text.substr(0, 8);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

/// The first address of a server record a client would try.
std::optional<std::string> recordAddress(const vk::ServerInfo& info) {
    for (const auto* address : {&info.ManualAddress, &info.LocalAddress, &info.RemoteAddress})
        if (*address && !(*address)->empty())
            return trimmedAddress(**address);
    return std::nullopt;
}

/// Whether one of the record's addresses lies at `origin`.
bool recordAt(const vk::ServerInfo& info, const std::string& origin) {
    for (const auto* address : {&info.ManualAddress, &info.LocalAddress, &info.RemoteAddress})
        if (*address && originOf(**address) == origin)
            return true;
    return false;
}

std::string okReply() {
    return "{\"ok\":true}";
}

}  // namespace

DesktopApplication::DesktopApplication(DesktopOptions options) : options_(std::move(options)) {}

DesktopApplication::~DesktopApplication() {
    if (application_)
        g_object_unref(application_);
}

int DesktopApplication::run(const char* programName) {
    application_ = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(application_, "startup", G_CALLBACK(&DesktopApplication::onStartup), this);
    g_signal_connect(application_, "activate", G_CALLBACK(&DesktopApplication::onActivate), this);
    g_signal_connect(application_, "shutdown", G_CALLBACK(&DesktopApplication::onShutdown), this);
    // Ctrl-C and a polite kill end the run as the window's close button does.
    for (int signal : {SIGINT, SIGTERM})
        g_unix_signal_add(
            signal,
            [](gpointer self) -> gboolean {
                static_cast<DesktopApplication*>(self)->quit(0);
                return G_SOURCE_CONTINUE;
            },
            this);
    // The options were read already: GApplication sees the program name alone.
    char* argv[] = {const_cast<char*>(programName), nullptr};
    const int status = g_application_run(G_APPLICATION(application_), 1, argv);
    return status != 0 ? status : exitStatus_;
}

void DesktopApplication::onStartup(GApplication*, gpointer self) {
    static_cast<DesktopApplication*>(self)->startup();
}
void DesktopApplication::onActivate(GApplication*, gpointer self) {
    static_cast<DesktopApplication*>(self)->activate();
}
void DesktopApplication::onShutdown(GApplication*, gpointer self) {
    static_cast<DesktopApplication*>(self)->shutdown();
}

void DesktopApplication::quit(int status) {
    exitStatus_ = status;
    if (quitting_)
        return;
    quitting_ = true;
    if (!playback_ || !playback_->isActive()) {
        finishQuit();
        return;
    }
    // The player's shutdown makes the stop report (or, for a download, the offline record);
    // a player that does not stop within a few seconds does not hold the quit.
    auto finished = std::make_shared<bool>(false);
    auto finish = [this, finished] {
        if (*finished)
            return;
        *finished = true;
        // After the blocks the shutdown set going (the offline store's record among them).
        vk::DispatchQueue::main()->async([this] { finishQuit(); });
    };
    playback_->stop(finish);
    vk::DispatchQueue::main()->asyncAfter(std::chrono::seconds(3), finish);
}

void DesktopApplication::finishQuit() {
    if (holding_) {
        holding_ = false;
        g_application_release(G_APPLICATION(application_));
    }
    g_application_quit(G_APPLICATION(application_));
}

void DesktopApplication::startup() {
    // From here on the framework's main queue runs on GTK's loop.
    std::string error;
    mainQueue_ = vk::MainQueueSource::attach(nullptr, G_PRIORITY_DEFAULT, &error);
    if (!mainQueue_) {
        std::fprintf(stderr, "vornkit-desktop: %s\n", error.c_str());
        quit(1);
        return;
    }
    // The connection manager listens to the network's reachability; so does the monitor.
    reachability_ = vk::Reachability::reachabilityForInternetConnection();
    if (reachability_)
        reachability_->startNotifier();
    vk::ConnectionManager::sharedInstance();

    window_ = std::make_unique<DesktopWindow>(application_, options_.width, options_.height);
    bridge_ = WebViewBridge::create(window_->webView());
    bridge_->setMessageHandler(
        [this](const std::string& json, const std::string& uri,
               std::shared_ptr<MessageReply> reply) { onMessage(json, uri, std::move(reply)); });
    if (options_.trace) {
        bridge_->setStatementObserver([](const std::string& statement, const std::string* error) {
            printLine("js: " + statement);
            if (error)
                printLine("js-rejected: " + *error + " :: " + statement);
        });
    }
    window_->setNavigationFilter([this](const std::string& uri) { return allowNavigation(uri); });
    window_->setCloseHandler([this] { quit(0); });
    window_->setLoadFailedHandler(
        [this](const std::string& uri, const std::string&) { return loadFailed(uri); });

    PlaybackController::Options playbackOptions;
    playbackOptions.audioOutput = options_.audioOutput;
    playbackOptions.mpvOptions = options_.mpvOptions;
    playbackOptions.desktopEntry = kApplicationId;
    playback_ = PlaybackController::create(bridge_, playbackOptions, playbackError_);
    if (!playback_)
        logger().log(vk::LogMessage("No native playback: ") << playbackError_);

    monitor_ = ServerMonitor::create(options_.probeInterval,
                                     [this](bool reachable) { reachabilityChanged(reachable); });

    // The desktop's search, on a connection of its own.
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        if (auto bus = vk::DBusConnection::session()) {
            vk::SearchProvider::Options searchOptions;
            searchOptions.busName = kSearchBusName;
            searchOptions.objectPath = kSearchObjectPath;
            search_ = vk::SearchProvider::start(bus, vk::ConnectionManager::sharedInstance(),
                                                searchOptions, &error);
            if (search_)
                search_->setActivateCallback([this](std::shared_ptr<vk::BaseItemDto> item,
                                                    std::vector<std::string>,
                                                    std::uint32_t) { openSearchResult(item); });
            else
                logger().log(vk::LogMessage("No desktop search: ") << error);
        }
    }

    if (options_.script) {
        script_ = TestScript::load(*options_.script, error);
        if (!script_) {
            std::fprintf(stderr, "vornkit-desktop: %s\n", error.c_str());
            quit(2);
            return;
        }
        script_->start(*window_, [this](bool passed) { quit(passed ? 0 : 1); });
    }

    if (auto client = vk::ConnectionManager::sharedInstance()->getLastUsedApiClient()) {
        openServer(client);
    } else if (options_.server) {
        // As the start page would: ask the address, then open its interface.
        const std::string address = trimmedAddress(*options_.server);
        ServerMonitor::identify(address, std::chrono::seconds(10),
                                [this, address](std::optional<ServerIdentity> identity) {
                                    if (!identity) {
                                        std::fprintf(stderr,
                                                     "vornkit-desktop: no media server answers "
                                                     "at %s\n",
                                                     address.c_str());
                                        openStartPage();
                                        return;
                                    }
                                    server_ = Server{identity->id, identity->name, address};
                                    showInterface();
                                });
    } else {
        openStartPage();
    }
}

void DesktopApplication::activate() {
    if (!window_)
        return;
    if (!activated_) {
        activated_ = true;
        if (options_.background) {
            // Started for the search provider: wait, windowless, for an activation.
            holding_ = true;
            g_application_hold(G_APPLICATION(application_));
            return;
        }
    }
    window_->present();
}

void DesktopApplication::shutdown() {
    search_.reset();
    monitor_.reset();
    if (bridge_)
        bridge_->close();
    script_.reset();
    playback_.reset();
    window_.reset();
    mainQueue_.reset();
}

// ---- pages ---------------------------------------------------------------------------------

void DesktopApplication::openStartPage() {
    server_.reset();
    monitor_->watch(std::nullopt);
    window_->setSubtitle("");
    window_->setOffline(false, "");
    window_->load(DesktopWindow::pageUri("start.html"));
}

void DesktopApplication::openServer(const std::shared_ptr<vk::ApiClient>& client) {
    const vk::ServerInfo info = client->serverInfo();
    auto address = client->serverAddress();
    if (!address)
        address = recordAddress(info);
    if (!address) {
        openStartPage();
        return;
    }
    server_ = Server{info.Id, info.Name, trimmedAddress(*address)};
    showInterface();
}

std::shared_ptr<vk::ApiClient> DesktopApplication::serverClient() {
    if (!server_)
        return nullptr;
    auto client = vk::ConnectionManager::sharedInstance()->getApiClient(server_->id);
    // Reports go where the interface came from, without waiting for a resolution.
    if (client && !client->serverAddress())
        client->setServerAddress(server_->address);
    return client;
}

void DesktopApplication::showInterface(const std::string& fragment) {
    if (!server_)
        return;
    serverClient();
    window_->setSubtitle(server_->name);
    monitor_->watch(server_->address);
    window_->load(server_->address + "/web/" + fragment);
}

void DesktopApplication::showOfflinePage() {
    window_->setOffline(true, server_ ? server_->name : std::string());
    window_->load(DesktopWindow::pageUri("offline.html"));
}

bool DesktopApplication::allowNavigation(const std::string& uri) const {
    if (uri.rfind(std::string(DesktopWindow::kScheme) + ":", 0) == 0 ||
        uri.rfind("about:", 0) == 0 || uri.rfind("blob:", 0) == 0 || uri.rfind("data:", 0) == 0)
        return true;
    return server_ && originOf(uri) == originOf(server_->address);
}

bool DesktopApplication::loadFailed(const std::string& uri) {
    if (!server_ || originOf(uri) != originOf(server_->address))
        return false;
    // The interface cannot be had: the downloads instead, until the server is back.
    showOfflinePage();
    monitor_->probeNow();
    return true;
}

void DesktopApplication::reachabilityChanged(bool reachable) {
    const std::string name = server_ ? server_->name : std::string();
    window_->setOffline(!reachable, name);
    if (reachable)
        serverClient();
    sendToPage(std::string("if(window.VornKitHost&&VornKitHost.onServerReachability)"
                           "VornKitHost.onServerReachability(") +
               (reachable ? "true" : "false") + ");");
    if (reachable && window_->uri().rfind(DesktopWindow::pageUri("offline.html"), 0) == 0)
        showInterface();
}

void DesktopApplication::sendToPage(const std::string& statement) {
    if (bridge_)
        bridge_->respondToWebview(statement);
}

void DesktopApplication::openSearchResult(const std::shared_ptr<vk::BaseItemDto>& item) {
    if (!item || !window_)
        return;
    window_->present();
    const std::string id = item->Id.str();
    const std::string serverId = item->ServerId.str();
    if (!server_ || (!serverId.empty() && serverId != server_->id)) {
        auto client = vk::ConnectionManager::sharedInstance()->getApiClient(
            serverId.empty() ? (server_ ? server_->id : std::string()) : serverId);
        if (!client)
            return;
        openServer(client);
    }
    if (senderOf(window_->uri()) == Sender::serverInterface && !window_->isLoading())
        sendToPage("if(window.VornKitHost&&VornKitHost.openItem)VornKitHost.openItem(" +
                   vk::javaScriptSingleQuoted(id) + ");");
    else
        showInterface("#/item/" + id);
}

// ---- messages ------------------------------------------------------------------------------

DesktopApplication::Sender DesktopApplication::senderOf(const std::string& pageUri) const {
    if (pageUri.rfind(std::string(DesktopWindow::kScheme) + "://app/", 0) == 0)
        return Sender::ownPage;
    if (server_ && !pageUri.empty() && originOf(pageUri) == originOf(server_->address))
        return Sender::serverInterface;
    return Sender::other;
}

void DesktopApplication::onMessage(const std::string& json, const std::string& pageUri,
                                   std::shared_ptr<MessageReply> reply) {
    std::string error;
    auto message = PageMessage::parse(json, error);
    if (!message) {
        reply->fail(error);
        return;
    }
    const Sender sender = senderOf(pageUri);
    const std::string& type = message->type();
    // What each page may ask: the start and offline pages are the application's own; the
    // server's interface hands over credentials and plays; other pages get nothing.
    static const std::map<std::string, std::pair<bool, bool>> allowed = {
        // type                  own page, server interface
        {"connect", {true, false}},     {"retry", {true, false}},
        {"credentials", {false, true}}, {"getCredentials", {false, true}},
        {"playAudio", {false, true}},   {"pagePlayer", {false, true}},
        {"download", {false, true}},    {"command", {true, true}},
        {"setVolume", {true, true}},    {"getState", {true, true}},
        {"getDownloads", {true, true}}, {"playDownloaded", {true, true}},
    };
    auto rule = allowed.find(type);
    if (rule == allowed.end()) {
        reply->fail("no message " + type);
        return;
    }
    const bool permitted = (sender == Sender::ownPage && rule->second.first) ||
                           (sender == Sender::serverInterface && rule->second.second);
    if (!permitted) {
        reply->fail(type + " is not taken from this page");
        return;
    }
    if (type == "connect") {
        connect(*message, std::move(reply));
    } else if (type == "retry") {
        retry(*reply);
    } else if (type == "credentials") {
        storeCredentials(*message, pageUri, *reply);
    } else if (type == "getCredentials") {
        giveCredentials(pageUri, *reply);
    } else if (type == "playAudio") {
        playAudio(*message, *reply);
    } else if (type == "command") {
        if (!playback_) {
            reply->fail(playbackError_);
            return;
        }
        const auto command = message->text("command");
        if (!command) {
            reply->fail("command needs a text \"command\"");
            return;
        }
        if (playback_->command(*command, message->number("positionMs"), error))
            reply->succeed(okReply());
        else
            reply->fail(error);
    } else if (type == "setVolume") {
        const auto volume = message->number("volume");
        if (!playback_ || !volume || !std::isfinite(*volume)) {
            reply->fail(playback_ ? "setVolume needs a number \"volume\"" : playbackError_);
            return;
        }
        if (playback_->setVolume(std::llround(*volume), error))
            reply->succeed(okReply());
        else
            reply->fail(error);
    } else if (type == "getState") {
        giveState(*reply);
    } else if (type == "pagePlayer") {
        pagePlayer(*message, *reply);
    } else if (type == "download") {
        download(*message, std::move(reply));
    } else if (type == "getDownloads") {
        giveDownloads(*reply);
    } else if (type == "playDownloaded") {
        playDownloaded(*message, *reply);
    }
}

void DesktopApplication::connect(const PageMessage& message, std::shared_ptr<MessageReply> reply) {
    auto address = message.text("address");
    if (!address || !isWebAddress(*address)) {
        reply->fail("The address is an http:// or https:// address.");
        return;
    }
    const std::string base = trimmedAddress(*address);
    ServerMonitor::identify(base, std::chrono::seconds(10),
                            [this, base, reply](std::optional<ServerIdentity> identity) {
                                if (identity)
                                    connected(*identity, *reply);
                                else
                                    reply->fail("No media server answers at " + base + ".");
                            });
}

void DesktopApplication::connected(const ServerIdentity& identity, MessageReply& reply) {
    // A server not known yet is remembered (without a token), so that the next start opens its
    // interface; a known one keeps its record, token included.
    auto stored =
        vk::ConnectionManager::sharedInstance()->credentialsManager()->getCurrentCredentials();
    const bool known = stored && std::any_of(stored->Servers.begin(), stored->Servers.end(),
                                             [&](const vk::ServerInfo& server) {
                                                 return server.Id == identity.id;
                                             });
    if (!known) {
        vk::ServerInfo info;
        info.Id = identity.id;
        info.Name = identity.name;
        info.ManualAddress = identity.address;
        info.LastConnectionMode = vk::ConnectionMode::manual;
        std::string error;
        if (!mergeCredentials({info}, error))
            logger().log(vk::LogMessage("The server was not remembered: ") << error);
    }
    server_ = Server{identity.id, identity.name, identity.address};
    std::string json;
    vk::JsonWriter writer(json);
    writer.beginObject();
    writer.key("ok");
    writer.boolean(true);
    writer.key("Id");
    writer.string(identity.id);
    writer.key("Name");
    writer.string(identity.name);
    writer.endObject();
    reply.succeed(json);
    showInterface();
}

bool DesktopApplication::mergeCredentials(std::vector<vk::ServerInfo> servers, std::string& error) {
    auto manager = vk::ConnectionManager::sharedInstance()->credentialsManager();
    vk::NativeCredentials stored =
        manager->getCurrentCredentials().value_or(vk::NativeCredentials{});
    const auto now = std::chrono::system_clock::now();
    for (auto& server : servers) {
        server.DateLastAccessed = now;
        auto same = std::find_if(stored.Servers.begin(), stored.Servers.end(),
                                 [&](const vk::ServerInfo& s) { return s.Id == server.Id; });
        if (same == stored.Servers.end()) {
            stored.Servers.push_back(server);
            continue;
        }
        // A record without an address keeps the stored ones; one without a user keeps the user.
        if (!server.LocalAddress && !server.ManualAddress && !server.RemoteAddress) {
            server.LocalAddress = same->LocalAddress;
            server.ManualAddress = same->ManualAddress;
            server.RemoteAddress = same->RemoteAddress;
        }
        if (!server.UserId)
            server.UserId = same->UserId;
        *same = server;
    }
    vk::JsonEncoder encoder;
    encoder.dateEncodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
    auto text = encoder.encode(stored);
    if (!text) {
        error = "the credentials cannot be written as JSON";
        return false;
    }
    manager->updateCredentials(*text);
    // Stored is what reads back: a keychain that took nothing is a failure to report.
    auto readBack = manager->getCurrentCredentials();
    for (const auto& server : servers) {
        const bool there =
            readBack && std::any_of(readBack->Servers.begin(), readBack->Servers.end(),
                                    [&](const vk::ServerInfo& s) {
                                        return s.Id == server.Id &&
                                               s.AccessToken == server.AccessToken;
                                    });
        if (!there) {
            error = "the credentials could not be stored (see the log)";
            return false;
        }
    }
    return true;
}

void DesktopApplication::storeCredentials(const PageMessage& message, const std::string& pageUri,
                                          MessageReply& reply) {
    auto json = message.json("credentials", simdjson::dom::element_type::OBJECT);
    if (!json) {
        reply.fail("credentials needs an object \"credentials\"");
        return;
    }
    auto decoded = vk::NativeCredentialsManager::decode(*json);
    if (!decoded) {
        reply.fail("the credentials do not read: " + decoded.error().description());
        return;
    }
    const std::string origin = originOf(pageUri);
    for (const auto& server : decoded->Servers) {
        if (!recordAt(server, origin)) {
            reply.fail("a page hands over the credentials of its own server only");
            return;
        }
    }
    std::string error;
    if (!mergeCredentials(decoded->Servers, error)) {
        reply.fail(error);
        return;
    }
    for (const auto& server : decoded->Servers) {
        if (server_ && server.Id != server_->id && recordAt(server, originOf(server_->address))) {
            // The page's server under its own id (the start page knew only the address).
            server_->id = server.Id;
        }
        if (server_ && server.Id == server_->id && !server.Name.empty()) {
            server_->name = server.Name;
            window_->setSubtitle(server.Name);
        }
    }
    serverClient();
    reply.succeed(okReply());
}

void DesktopApplication::giveCredentials(const std::string& pageUri, MessageReply& reply) {
    auto manager = vk::ConnectionManager::sharedInstance();
    auto device = manager->deviceInfoManager();
    const std::string origin = originOf(pageUri);
    std::optional<vk::ServerInfo> found;
    if (auto stored = manager->credentialsManager()->getCurrentCredentials()) {
        // The page's own server: the one in use, else any record at the page's origin.
        for (const auto& server : stored->Servers)
            if (recordAt(server, origin) && (!found || (server_ && server.Id == server_->id)))
                found = server;
    }
    std::string json;
    vk::JsonWriter writer(json);
    writer.beginObject();
    writer.key("server");
    if (found) {
        writer.beginObject();
        writer.key("Id");
        writer.string(found->Id);
        writer.key("Name");
        writer.string(found->Name);
        if (found->UserId) {
            writer.key("UserId");
            writer.string(*found->UserId);
        }
        if (found->AccessToken) {
            writer.key("AccessToken");
            writer.string(*found->AccessToken);
        }
        writer.endObject();
    } else {
        writer.null();
    }
    writer.key("device");
    writer.beginObject();
    writer.key("id");
    writer.string(device->getDeviceId());
    writer.key("name");
    writer.string(device->getDeviceName().value_or("Desktop"));
    writer.key("app");
    writer.string(device->getAppName());
    writer.key("version");
    writer.string(device->getAppVersion().value_or(""));
    writer.endObject();
    writer.endObject();
    reply.succeed(json);
}

void DesktopApplication::playAudio(const PageMessage& message, MessageReply& reply) {
    if (!playback_) {
        reply.fail(playbackError_);
        return;
    }
    auto itemsJson = message.json("items", simdjson::dom::element_type::ARRAY);
    if (!itemsJson) {
        reply.fail("playAudio needs a list \"items\" of queue items");
        return;
    }
    auto items = vk::MediaItem::mediaItemsFromJson(*itemsJson);
    if (items.empty()) {
        reply.fail("playAudio needs at least one queue item");
        return;
    }
    // The page's queues stream from servers; local files play only through playDownloaded.
    for (const auto& item : items) {
        if (!item->Path || !isWebAddress(*item->Path)) {
            reply.fail("a queue item's Path is an http:// or https:// address");
            return;
        }
    }
    std::optional<vk::MediaSourceInfo> source;
    if (auto sourceJson = message.json("mediaSource", simdjson::dom::element_type::OBJECT)) {
        auto decoded = vk::JsonDecoder().decode<vk::MediaSourceInfo>(*sourceJson);
        if (!decoded) {
            reply.fail("mediaSource does not read: " + decoded.error().description());
            return;
        }
        source = *decoded;
    }
    const double startIndex = message.number("startIndex").value_or(0);
    const double startPosition = message.number("startPositionMs").value_or(0);
    std::string error;
    if (!std::isfinite(startIndex) || !std::isfinite(startPosition) ||
        startIndex != std::floor(startIndex) || startIndex < 0 || startIndex > 1e9) {
        reply.fail("startIndex is a whole number inside the queue");
        return;
    }
    if (playback_->playAudio(items, static_cast<std::int32_t>(startIndex),
                             static_cast<std::int64_t>(startPosition), source, error))
        reply.succeed(okReply());
    else
        reply.fail(error);
}

void DesktopApplication::giveState(MessageReply& reply) {
    std::string json;
    vk::JsonWriter writer(json);
    writer.beginObject();
    if (playback_) {
        const auto state = playback_->state();
        writer.key("player");
        writer.string(state.player);
        writer.key("playing");
        writer.boolean(state.playing);
        writer.key("paused");
        writer.boolean(state.paused);
        writer.key("positionMs");
        writer.integer(state.positionMs);
        writer.key("durationMs");
        writer.integer(state.durationMs);
        writer.key("volume");
        writer.integer(state.volume);
        writer.key("index");
        writer.integer(state.index);
        writer.key("queueLength");
        writer.integer(static_cast<std::int64_t>(state.queueLength));
        if (state.itemId) {
            writer.key("itemId");
            writer.string(*state.itemId);
        }
        if (state.title) {
            writer.key("title");
            writer.string(*state.title);
        }
    } else {
        writer.key("player");
        writer.string("none");
    }
    writer.key("serverReachable");
    const auto reachable = monitor_->reachable();
    if (reachable)
        writer.boolean(*reachable);
    else
        writer.null();
    if (server_) {
        writer.key("serverId");
        writer.string(server_->id);
        writer.key("serverName");
        writer.string(server_->name);
    }
    writer.endObject();
    reply.succeed(json);
}

void DesktopApplication::pagePlayer(const PageMessage& message, MessageReply& reply) {
    if (!playback_) {
        reply.fail(playbackError_);
        return;
    }
    const auto state = message.text("state");
    if (!state) {
        reply.fail("pagePlayer needs a text \"state\"");
        return;
    }
    std::shared_ptr<vk::MediaItem> item;
    if (auto itemJson = message.json("item", simdjson::dom::element_type::OBJECT))
        item = vk::MediaItem::initWithJson(*itemJson);
    if (*state == "loading" && !item) {
        reply.fail("pagePlayer \"loading\" needs the \"item\"");
        return;
    }
    std::string error;
    if (playback_->pagePlayerChanged(*state, item, message.number("positionMs").value_or(0),
                                     message.number("durationMs").value_or(0), error))
        reply.succeed(okReply());
    else
        reply.fail(error);
}

void DesktopApplication::download(const PageMessage& message, std::shared_ptr<MessageReply> reply) {
    const auto itemId = message.text("itemId");
    if (!itemId || itemId->empty()) {
        reply->fail("download needs a text \"itemId\"");
        return;
    }
    auto client = serverClient();
    if (!client || !client->getServerCredentials()) {
        reply->fail("sign in to download");
        return;
    }
    offline_.download(client, *itemId, [reply](vk::SyncDownloadResult result) {
        if (!result.jobCreated) {
            reply->fail("the server made no download job (see the log)");
            return;
        }
        std::string json;
        vk::JsonWriter writer(json);
        writer.beginObject();
        writer.key("downloaded");
        writer.beginArray();
        for (const auto& local : result.downloaded)
            writer.string(local->itemId);
        writer.endArray();
        writer.key("failed");
        writer.beginArray();
        for (const auto& id : result.failed)
            writer.string(id);
        writer.endArray();
        writer.endObject();
        reply->succeed(json);
    });
}

void DesktopApplication::giveDownloads(MessageReply& reply) {
    std::string json;
    vk::JsonWriter writer(json);
    writer.beginObject();
    writer.key("items");
    writer.beginArray();
    if (server_) {
        for (const auto& item : offline_.downloads(server_->id)) {
            writer.beginObject();
            writer.key("ItemId");
            writer.string(item.itemId);
            writer.key("Name");
            writer.string(item.name);
            writer.key("Album");
            writer.string(item.album);
            writer.key("Artist");
            writer.string(item.artist);
            writer.key("RunTimeTicks");
            writer.integer(item.runTimeTicks);
            writer.endObject();
        }
    }
    writer.endArray();
    writer.endObject();
    reply.succeed(json);
}

void DesktopApplication::playDownloaded(const PageMessage& message, MessageReply& reply) {
    if (!playback_) {
        reply.fail(playbackError_);
        return;
    }
    const auto ids = message.texts("itemIds");
    if (!ids || ids->empty() || !server_) {
        reply.fail(server_ ? "playDownloaded needs a list \"itemIds\"" : "no server in use");
        return;
    }
    std::string error;
    auto items = offline_.queue(server_->id, *ids, error);
    if (items.empty()) {
        reply.fail(error);
        return;
    }
    const double startIndex = message.number("startIndex").value_or(0);
    if (!std::isfinite(startIndex) || startIndex < 0 ||
        startIndex >= static_cast<double>(items.size())) {
        reply.fail("startIndex lies outside the queue");
        return;
    }
    if (playback_->playAudio(items, static_cast<std::int32_t>(startIndex), 0, std::nullopt, error))
        reply.succeed(okReply());
    else
        reply.fail(error);
}

void DesktopApplication::retry(MessageReply& reply) {
    if (!server_) {
        openStartPage();
        reply.succeed(okReply());
        return;
    }
    // The interface again; should it still fail to load, the offline page comes back.
    showInterface();
    reply.succeed(okReply());
}

}  // namespace desktop
