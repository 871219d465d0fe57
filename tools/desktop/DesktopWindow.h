// DesktopWindow: the application's one window: a header bar, a banner for the offline state and
// the WebKitWebView that shows the server's web interface (or one of the application's own pages,
// served under the "vornkit-desktop:" scheme from files compiled into the program).
//
// The view keeps nothing between runs (an ephemeral network session): the server's interface
// signs in again from the credentials the host keeps. Navigation is confined to the origins the
// application allows (setNavigationFilter); any other link opens in the desktop's browser.
//
// Thread rule: the GTK thread. Ownership: the application owns the window; GTK owns the widgets,
// which live until the window is destroyed.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace desktop {

class DesktopWindow {
  public:
    /// The scheme of the application's own pages ("vornkit-desktop://app/start.html").
    static constexpr const char* kScheme = "vornkit-desktop";
    /// The URI of one of the application's own pages.
    static std::string pageUri(const std::string& name);

    DesktopWindow(GtkApplication* application, int width, int height);
    ~DesktopWindow();
    DesktopWindow(const DesktopWindow&) = delete;
    DesktopWindow& operator=(const DesktopWindow&) = delete;

    GtkWindow* window() const { return window_; }
    WebKitWebView* webView() const { return view_; }
    /// Shows the window and brings it to the front.
    void present();

    /// Loads `uri` in the view.
    void load(const std::string& uri);
    /// The view's URI (empty before the first load).
    std::string uri() const;
    /// Whether a load is under way.
    bool isLoading() const;
    /// Shows or hides the offline banner, naming the server.
    void setOffline(bool offline, const std::string& serverName);
    /// Whether the offline banner shows.
    bool offlineShown() const;
    /// The text under the title (the server's name).
    void setSubtitle(const std::string& text);

    /// Called after every finished load (the view's URI is the new page's).
    using LoadListener = std::function<void()>;
    std::uint64_t addLoadListener(LoadListener listener);
    void removeLoadListener(std::uint64_t id);
    /// Gets a failed load's URI and error; returns true when it showed something else instead
    /// (otherwise WebKit shows its error page).
    using LoadFailedHandler = std::function<bool(const std::string& uri, const std::string& error)>;
    void setLoadFailedHandler(LoadFailedHandler handler);
    /// Says whether the view may navigate to `uri`; any other http(s) URI opens in the browser.
    using NavigationFilter = std::function<bool(const std::string& uri)>;
    void setNavigationFilter(NavigationFilter filter);

    /// Called instead of closing when the user closes the window (the handler ends the run).
    void setCloseHandler(std::function<void()> handler);

    /// Gets whether the snapshot was written, its size, or why not.
    using SnapshotDone =
        std::function<void(bool written, int width, int height, const std::string& error)>;
    /// Writes a PNG of the whole window (header bar, banner, page). The page is the one WebKit
    /// renders for the snapshot (webkit_web_view_get_snapshot), so it shows what the page holds
    /// now, whether or not a frame of it has reached the screen. `done` runs on the GTK thread.
    void writeSnapshot(const std::filesystem::path& file, SnapshotDone done);

  private:
    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, const char* uri,
                                 GError* error, gpointer self);
    static gboolean onCloseRequest(GtkWindow* window, gpointer self);
    static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);

    GtkWindow* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    GtkWidget* banner_ = nullptr;
    GtkWidget* bannerLabel_ = nullptr;
    GtkWidget* subtitle_ = nullptr;
    std::map<std::uint64_t, LoadListener> loadListeners_;
    std::uint64_t nextListener_ = 1;
    LoadFailedHandler loadFailed_;
    NavigationFilter navigationFilter_;
    std::function<void()> closeHandler_;
};

}  // namespace desktop
