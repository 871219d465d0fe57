// DesktopApplication: the run (GApplication's startup, activation and shutdown, quitting) and the
// pages the window shows. The page's messages are in DesktopMessages.cpp, the server and
// credentials messages in DesktopCredentials.cpp.
#include "DesktopApplication.h"

#include <glib-unix.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
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

/// The first address of a server record a client would try.
std::optional<std::string> recordAddress(const vk::ServerInfo& info) {
    for (const auto* address : {&info.ManualAddress, &info.LocalAddress, &info.RemoteAddress})
        if (*address && !(*address)->empty())
            return trimmedAddress(**address);
    return std::nullopt;
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

}  // namespace desktop
