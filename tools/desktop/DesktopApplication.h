// DesktopApplication: VornKit Desktop, the framework's reference host. One GTK window shows the
// web interface of the server in use; the framework does everything behind it:
//
//   GLib main loop        services the framework's main queue (MainQueueSource), so player
//                         events, reports and store work run on the GTK thread between its events
//   ConnectionManager     the known servers and their clients, from the credentials the page hands
//                         over (NativeCredentialsManager: kept in the secret store)
//   WebViewBridge         the bridge's statements into the page; the page's messages to the host
//   PlaybackController    MpvPlayer, PlayerEventHandler, RemotePlayer, RemoteControls over MPRIS
//                         and the notification of the item that starts
//   ServerMonitor         the offline state when the server does not answer (checked on network
//                         changes reported by Reachability, and now and then)
//   OfflineLibrary        downloads through the server's sync jobs, played from the offline store
//   SearchProvider        the desktop's search; a result opens the item in the window
//
// Start: with stored credentials, the interface of the server used last (or, when it cannot be
// reached, the application's offline page with the downloads); without, the start page, which
// asks for a server address (or --server). The page's messages are listed in
// docs/desktop-messages.md.
//
// Thread rule: the GTK thread (the process's main thread). Ownership: main() owns the object for
// the whole run.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <optional>
#include <string>

#include "DesktopOptions.h"
#include "DesktopWindow.h"
#include "OfflineLibrary.h"
#include "PlaybackController.h"
#include "ServerMonitor.h"
#include "TestScript.h"
#include "VornKit/Browse/SearchProvider.h"
#include "VornKit/GLib/MainQueueSource.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Net/Reachability.h"
#include "WebViewBridge.h"

namespace desktop {

class PageMessage;

class DesktopApplication {
  public:
    /// The application id: GApplication's name on the bus, the desktop file's name and the
    /// framework's bundle identifier.
    static constexpr const char* kApplicationId = "app.vorn.VornKitDesktop";
    /// Where the search provider is exported.
    static constexpr const char* kSearchBusName = "app.vorn.VornKitDesktop.SearchProvider";
    static constexpr const char* kSearchObjectPath = "/app/vorn/VornKitDesktop/SearchProvider";

    explicit DesktopApplication(DesktopOptions options);
    ~DesktopApplication();
    DesktopApplication(const DesktopApplication&) = delete;
    DesktopApplication& operator=(const DesktopApplication&) = delete;

    /// Runs the application until it quits; the process's exit status.
    int run(const char* programName);

  private:
    /// The server whose interface the window shows.
    struct Server {
        std::string id;
        std::string name;
        std::string address;  ///< without a trailing "/"
    };
    /// Who sent a message: one of the application's own pages, the server's interface, or
    /// another page (whose messages are refused).
    enum class Sender { ownPage, serverInterface, other };

    static void onStartup(GApplication* application, gpointer self);
    static void onActivate(GApplication* application, gpointer self);
    static void onShutdown(GApplication* application, gpointer self);
    void startup();
    void activate();
    void shutdown();
    /// Stops what plays (its stop reaches the server or the offline store), then ends the run.
    void quit(int status);
    void finishQuit();

    // Pages.
    void openStartPage();
    void openServer(const std::shared_ptr<vk::ApiClient>& client);
    void showInterface(const std::string& fragment = {});
    void showOfflinePage();
    bool allowNavigation(const std::string& uri) const;
    bool loadFailed(const std::string& uri);
    void reachabilityChanged(bool reachable);
    void openSearchResult(const std::shared_ptr<vk::BaseItemDto>& item);
    void sendToPage(const std::string& statement);

    // Messages of the page (docs/desktop-messages.md).
    Sender senderOf(const std::string& pageUri) const;
    void onMessage(const std::string& json, const std::string& pageUri,
                   std::shared_ptr<MessageReply> reply);
    void connect(const PageMessage& message, std::shared_ptr<MessageReply> reply);
    void connected(const ServerIdentity& identity, MessageReply& reply);
    void storeCredentials(const PageMessage& message, const std::string& pageUri,
                          MessageReply& reply);
    void giveCredentials(const std::string& pageUri, MessageReply& reply);
    void playAudio(const PageMessage& message, MessageReply& reply);
    void giveState(MessageReply& reply);
    void pagePlayer(const PageMessage& message, MessageReply& reply);
    void download(const PageMessage& message, std::shared_ptr<MessageReply> reply);
    void giveDownloads(MessageReply& reply);
    void playDownloaded(const PageMessage& message, MessageReply& reply);
    void retry(MessageReply& reply);
    /// Whether native playback is there; when it is not, `reply` is refused with the reason.
    bool playbackReady(MessageReply& reply);

    /// The client of the server in use (null without one); it gets the address the interface
    /// came from when it has none resolved.
    std::shared_ptr<vk::ApiClient> serverClient();
    /// Merges `servers` into the stored credentials (by Id) and stores them.
    bool mergeCredentials(std::vector<vk::ServerInfo> servers, std::string& error);

    DesktopOptions options_;
    GtkApplication* application_ = nullptr;
    std::unique_ptr<vk::MainQueueSource> mainQueue_;
    std::unique_ptr<DesktopWindow> window_;
    std::shared_ptr<WebViewBridge> bridge_;
    std::shared_ptr<PlaybackController> playback_;
    std::string playbackError_;
    std::shared_ptr<ServerMonitor> monitor_;
    OfflineLibrary offline_;
    std::shared_ptr<vk::Reachability> reachability_;
    std::shared_ptr<vk::SearchProvider> search_;
    std::shared_ptr<TestScript> script_;
    std::optional<Server> server_;
    bool activated_ = false;
    bool holding_ = false;
    bool quitting_ = false;
    int exitStatus_ = 0;
};

}  // namespace desktop
