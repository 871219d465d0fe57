#include "DesktopWindow.h"

#include <memory>
#include <vector>

#include "VornKit/Platform/Runtime/Log.h"
#include "vornkit-desktopEmbeddedFiles.h"

namespace desktop {

namespace {

const vk::Logger& logger() {
    static const vk::Logger log("DesktopWindow");
    return log;
}

std::string contentType(const std::string& name) {
    auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return name.size() >= t.size() && name.compare(name.size() - t.size(), t.size(), t) == 0;
    };
    if (endsWith(".html"))
        return "text/html";
    if (endsWith(".css"))
        return "text/css";
    if (endsWith(".js"))
        return "text/javascript";
    if (endsWith(".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}

/// Serves the application's own pages under vornkit-desktop://app/<name>.
void servePage(WebKitURISchemeRequest* request, gpointer) {
    std::string path = webkit_uri_scheme_request_get_path(request);
    if (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    for (std::size_t i = 0; i < kEmbeddedFileCount; ++i) {
        if (path == kEmbeddedFiles[i].name) {
            GInputStream* stream = g_memory_input_stream_new_from_data(
                kEmbeddedFiles[i].data, static_cast<gssize>(kEmbeddedFiles[i].size), nullptr);
            webkit_uri_scheme_request_finish(request, stream,
                                             static_cast<gint64>(kEmbeddedFiles[i].size),
                                             contentType(path).c_str());
            g_object_unref(stream);
            return;
        }
    }
    GError* error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no page %s", path.c_str());
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
}

void registerScheme() {
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, DesktopWindow::kScheme, servePage, nullptr,
                                           nullptr);
    // Its pages are the application's own: as trusted as https pages.
    webkit_security_manager_register_uri_scheme_as_secure(
        webkit_web_context_get_security_manager(context), DesktopWindow::kScheme);
}

const char* const kCss =
    ".offline-banner { background: #f4a259; color: #1b1206; padding: 8px 16px; }"
    ".offline-banner label { font-weight: bold; }"
    ".subtitle { font-size: smaller; opacity: 0.7; }";

}  // namespace

std::string DesktopWindow::pageUri(const std::string& name) {
    return std::string(kScheme) + "://app/" + name;
}

DesktopWindow::DesktopWindow(GtkApplication* application, int width, int height) {
    registerScheme();
    window_ = GTK_WINDOW(gtk_application_window_new(application));
    gtk_window_set_title(window_, "VornKit Desktop");
    gtk_window_set_default_size(window_, width, height);

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kCss, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    GtkWidget* header = gtk_header_bar_new();
    GtkWidget* titles = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_valign(titles, GTK_ALIGN_CENTER);
    GtkWidget* title = gtk_label_new("VornKit Desktop");
    gtk_widget_add_css_class(title, "title");
    subtitle_ = gtk_label_new("");
    gtk_widget_add_css_class(subtitle_, "subtitle");
    gtk_widget_set_visible(subtitle_, FALSE);
    gtk_box_append(GTK_BOX(titles), title);
    gtk_box_append(GTK_BOX(titles), subtitle_);
    gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), titles);
    gtk_window_set_titlebar(window_, header);

    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    banner_ = gtk_revealer_new();
    GtkWidget* bannerBox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_add_css_class(bannerBox, "offline-banner");
    bannerLabel_ = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(bannerLabel_), 0);
    gtk_box_append(GTK_BOX(bannerBox), bannerLabel_);
    gtk_revealer_set_child(GTK_REVEALER(banner_), bannerBox);
    gtk_revealer_set_transition_type(GTK_REVEALER(banner_), GTK_REVEALER_TRANSITION_TYPE_NONE);
    gtk_revealer_set_reveal_child(GTK_REVEALER(banner_), FALSE);
    gtk_widget_set_visible(banner_, FALSE);
    gtk_box_append(GTK_BOX(content), banner_);

    WebKitNetworkSession* session = webkit_network_session_new_ephemeral();
    view_ =
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
    g_object_unref(session);
    WebKitSettings* settings = webkit_web_view_get_settings(view_);
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
    gtk_widget_set_vexpand(GTK_WIDGET(view_), TRUE);
    gtk_widget_set_hexpand(GTK_WIDGET(view_), TRUE);
    gtk_box_append(GTK_BOX(content), GTK_WIDGET(view_));
    gtk_window_set_child(window_, content);

    g_signal_connect(view_, "load-changed", G_CALLBACK(&DesktopWindow::onLoadChanged), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(&DesktopWindow::onLoadFailed), this);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(&DesktopWindow::onDecidePolicy), this);
    g_signal_connect(window_, "close-request", G_CALLBACK(&DesktopWindow::onCloseRequest), this);
}

void DesktopWindow::setCloseHandler(std::function<void()> handler) {
    closeHandler_ = std::move(handler);
}

gboolean DesktopWindow::onCloseRequest(GtkWindow*, gpointer data) {
    auto* self = static_cast<DesktopWindow*>(data);
    if (!self->closeHandler_)
        return FALSE;
    self->closeHandler_();
    return TRUE;  // the handler ends the run, which closes the window
}

DesktopWindow::~DesktopWindow() {
    if (view_)
        g_signal_handlers_disconnect_by_data(view_, this);
    if (window_)
        g_signal_handlers_disconnect_by_data(window_, this);
    if (window_)
        gtk_window_destroy(window_);
}

void DesktopWindow::present() {
    gtk_window_present(window_);
}

void DesktopWindow::load(const std::string& uri) {
    webkit_web_view_load_uri(view_, uri.c_str());
}

std::string DesktopWindow::uri() const {
    const char* uri = webkit_web_view_get_uri(view_);
    return uri ? uri : "";
}

bool DesktopWindow::isLoading() const {
    return webkit_web_view_is_loading(view_) != FALSE;
}

void DesktopWindow::setOffline(bool offline, const std::string& serverName) {
    if (offline) {
        const std::string text =
            "Offline: " + (serverName.empty() ? std::string("the server") : serverName) +
            " cannot be reached. Downloaded music still plays.";
        gtk_label_set_text(GTK_LABEL(bannerLabel_), text.c_str());
    }
    gtk_revealer_set_reveal_child(GTK_REVEALER(banner_), offline);
    // Hidden, the banner takes no room at all.
    gtk_widget_set_visible(banner_, offline);
}

bool DesktopWindow::offlineShown() const {
    return gtk_revealer_get_reveal_child(GTK_REVEALER(banner_)) != FALSE;
}

void DesktopWindow::setSubtitle(const std::string& text) {
    gtk_label_set_text(GTK_LABEL(subtitle_), text.c_str());
    gtk_widget_set_visible(subtitle_, !text.empty());
}

std::uint64_t DesktopWindow::addLoadListener(LoadListener listener) {
    const std::uint64_t id = nextListener_++;
    loadListeners_[id] = std::move(listener);
    return id;
}

void DesktopWindow::removeLoadListener(std::uint64_t id) {
    loadListeners_.erase(id);
}

void DesktopWindow::setLoadFailedHandler(LoadFailedHandler handler) {
    loadFailed_ = std::move(handler);
}

void DesktopWindow::setNavigationFilter(NavigationFilter filter) {
    navigationFilter_ = std::move(filter);
}

void DesktopWindow::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    if (event != WEBKIT_LOAD_FINISHED)
        return;
    auto* self = static_cast<DesktopWindow*>(data);
    // A listener may remove itself (or others) while it runs.
    std::vector<std::uint64_t> ids;
    for (const auto& [id, listener] : self->loadListeners_)
        ids.push_back(id);
    for (auto id : ids) {
        auto found = self->loadListeners_.find(id);
        if (found != self->loadListeners_.end()) {
            LoadListener listener = found->second;
            listener();
        }
    }
}

gboolean DesktopWindow::onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* uri,
                                     GError* error, gpointer data) {
    auto* self = static_cast<DesktopWindow*>(data);
    // A load replaced by another, or stopped by the navigation policy, is no failure.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(error, WEBKIT_POLICY_ERROR,
                        WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return FALSE;
    logger().log(vk::LogMessage("The page did not load: ")
                 << (uri ? uri : "") << ": " << (error ? error->message : ""));
    if (self->loadFailed_ && self->loadFailed_(uri ? uri : "", error ? error->message : ""))
        return TRUE;
    return FALSE;
}

gboolean DesktopWindow::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                       WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<DesktopWindow*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const std::string uri = webkit_uri_request_get_uri(request);
    const bool inView = type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
                        (!self->navigationFilter_ || self->navigationFilter_(uri));
    if (inView)
        return FALSE;  // WebKit's default: load it here
    webkit_policy_decision_ignore(decision);
    if (uri.rfind("http://", 0) == 0 || uri.rfind("https://", 0) == 0) {
        GError* error = nullptr;
        if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
            logger().log(vk::LogMessage("No browser opened ") << uri << ": " << error->message);
            g_error_free(error);
        }
    } else {
        logger().log(vk::LogMessage("Refused to open ") << uri);
    }
    return TRUE;
}

namespace {

struct SnapshotRequest {
    GtkWindow* window;
    WebKitWebView* view;
    std::filesystem::path file;
    DesktopWindow::SnapshotDone done;
};

/// The window's own drawing with `page` in the place of the web view; null when the window is
/// not shown.
GdkTexture* renderWindow(GtkWindow* window, WebKitWebView* view, GdkTexture* page) {
    GtkWidget* widget = GTK_WIDGET(window);
    const int width = gtk_widget_get_width(widget);
    const int height = gtk_widget_get_height(widget);
    if (width <= 0 || height <= 0)
        return nullptr;
    GdkPaintable* paintable = gtk_widget_paintable_new(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    graphene_rect_t bounds;
    if (page && gtk_widget_compute_bounds(GTK_WIDGET(view), widget, &bounds))
        gtk_snapshot_append_texture(snapshot, page, &bounds);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    g_object_unref(paintable);
    if (!node)
        return nullptr;
    graphene_rect_t whole =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture =
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &whole);
    gsk_render_node_unref(node);
    return texture;
}

}  // namespace

void DesktopWindow::writeSnapshot(const std::filesystem::path& file, SnapshotDone done) {
    auto* request = new SnapshotRequest{window_, view_, file, std::move(done)};
    webkit_web_view_get_snapshot(
        view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<SnapshotRequest> request(static_cast<SnapshotRequest*>(data));
            GError* error = nullptr;
            GdkTexture* page =
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(object), result, &error);
            if (!page) {
                request->done(false, 0, 0,
                              std::string("the page gave no picture: ") +
                                  (error ? error->message : "no reason"));
                if (error)
                    g_error_free(error);
                return;
            }
            GdkTexture* texture = renderWindow(request->window, request->view, page);
            g_object_unref(page);
            if (!texture) {
                request->done(false, 0, 0, "the window is not shown");
                return;
            }
            const int width = gdk_texture_get_width(texture);
            const int height = gdk_texture_get_height(texture);
            const bool saved = gdk_texture_save_to_png(texture, request->file.c_str()) != FALSE;
            g_object_unref(texture);
            request->done(saved, width, height,
                          saved ? std::string() : "cannot write " + request->file.string());
        },
        request);
}

}  // namespace desktop
