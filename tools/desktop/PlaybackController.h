// PlaybackController: the application's playback, assembled from the framework's parts.
//
//   MpvPlayer             plays the queues the page hands over (audio; libmpv's null video)
//   PlayerEventHandler    its events become the bridge's statements for the page and the
//                         server's start, progress and stop reports (through the clients of the
//                         shared ConnectionManager; items played from the offline store report to
//                         the store)
//   RemotePlayer          stands for the page's own player while that one plays, so that the
//                         desktop's commands and volume reach it as statements
//   RemoteControls        now playing and the desktop's commands over MPRIS (playerctl, media
//                         keys; Volume is read and written), and the notification of the item
//                         that starts
//
// Without a session bus playback works the same, without MPRIS and notifications.
//
// Thread rule: the GTK thread, which runs the main queue (player events arrive there).
// Ownership: the application owns the controller; the controller owns the players.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Mpv/MpvPlayer.h"
#include "VornKit/Platform/Media/MprisService.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "VornKit/Playback/RemoteControls.h"
#include "VornKit/Playback/RemotePlayer.h"

namespace desktop {

class PlaybackController : public std::enable_shared_from_this<PlaybackController> {
  public:
    struct Options {
        /// libmpv's audio outputs and further options.
        std::string audioOutput;
        std::vector<std::pair<std::string, std::string>> mpvOptions;
        /// The MPRIS bus name's last element and the desktop entry the desktop links to.
        std::string busNameSuffix = "vornkit_desktop";
        std::string desktopEntry;
        std::string identity = "VornKit Desktop";
    };

    /// What the player is doing, for the page's "getState".
    struct State {
        std::string player;  ///< "native", "page" or "none"
        bool playing = false;
        bool paused = false;
        std::int64_t positionMs = 0;
        std::int64_t durationMs = 0;
        std::int64_t volume = 100;
        std::int64_t index = -1;
        std::optional<std::string> itemId;
        std::optional<std::string> title;
        std::size_t queueLength = 0;
    };

    /// The players and their listeners; null with `error` set when libmpv cannot start.
    static std::shared_ptr<PlaybackController> create(
        std::shared_ptr<vk::WebViewMessageDelegate> webView, Options options, std::string& error);
    ~PlaybackController();

    /// The native player plays `items` from `startIndex` at `startPositionMs` (the page's own
    /// player, if it played, is left).
    bool playAudio(const std::vector<std::shared_ptr<vk::MediaItem>>& items,
                   std::int32_t startIndex, std::int64_t startPositionMs,
                   const std::optional<vk::MediaSourceInfo>& source, std::string& error);
    /// A transport command for the native player: playPause, pause, unpause, nextTrack,
    /// prevTrack, stop, or seek (to `positionMs`).
    bool command(const std::string& name, std::optional<double> positionMs, std::string& error);
    /// Sets the native player's volume, 0 to 100.
    bool setVolume(std::int64_t volume, std::string& error);
    /// The page's own player changed: "loading" (with the item), "playing", "paused" or
    /// "stopped". While it plays, the RemotePlayer stands in for it on the desktop.
    bool pagePlayerChanged(const std::string& state, std::shared_ptr<vk::MediaItem> item,
                           double positionMs, double durationMs, std::string& error);
    State state() const;
    /// The MPRIS service, or null without a session bus.
    const std::shared_ptr<vk::MprisService>& mpris() const { return mpris_; }
    /// Whether something plays (or is loaded): the native player or the page's.
    bool isActive() const;
    /// Stops playback (at quit), so that the server gets the stop report (a download, its
    /// offline record); `stopped` runs on the main queue once the player has shut down (at once
    /// when nothing played).
    void stop(std::function<void()> stopped = nullptr);

    class Tracker;

  private:
    PlaybackController() = default;
    void usePagePlayer(bool page);

    std::shared_ptr<vk::WebViewMessageDelegate> webView_;
    std::shared_ptr<vk::MpvPlayer> mpv_;
    std::shared_ptr<vk::RemotePlayer> remote_;
    std::shared_ptr<vk::PlayerEventHandler> handler_;
    std::shared_ptr<vk::MprisService> mpris_;
    std::shared_ptr<vk::RemoteControls> controls_;
    std::shared_ptr<Tracker> tracker_;
    bool pagePlays_ = false;
    bool pagePaused_ = false;
    std::shared_ptr<vk::MediaItem> pageItem_;
    double pagePositionMs_ = 0;
    double pageDurationMs_ = 0;
};

}  // namespace desktop
