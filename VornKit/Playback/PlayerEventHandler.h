// PlayerEventHandler: the bridge between the native player and the web user interface and the
// server. It listens to the player's events (PlayerEventDelegate), turns each into a JavaScript
// statement for the web view (WebViewMessageDelegate::respondToWebview), reports start, progress
// and stop of audio to the item's server through its ApiClient, re-sends the play queue when the
// application becomes active again, and asks the host to attach the video view when a video file
// has loaded.
//
// Statements address the web player object "MpvAudioPlayer" while currentMediaType() is audio (0),
// "MpvVideoPlayer" otherwise:
//   <Obj>.onPropertyChange('<name>', <double>);     time-pos, duration, sub-delay, speed,
//                                                    playlist-pos
//   <Obj>.onPropertyChange('pause', true|false);
//   <Obj>.onPropertyChange('playlistItemId', '<id>');
//   <Obj>.onPropertyChange('repeat-mode', '<mode>');
//   <Obj>.onEvent('<name>');                         start-file, file-loaded, ended, error,
//   shutdown <Obj>.onCacheUpdate(<double>, <double>); <Obj>.notifyVolumeChange(<integer>, true);
//   <Obj>.onPlaylistChanged(["<item JSON>", ...]);
//   <Obj>.onPlaylistItemRemoved('<id>');
//   <Obj>.onPlaylistItemMoved('<id>', <integer>);
// Texts are written as JavaScriptText.h says: whatever they hold reaches the web player as the same
// string. Statements are skipped while the web view delegate is gone; the other steps still run.
//
// Reports (audio only, currentMediaType() 0): a start report when a file has loaded (with the
// whole queue as NowPlayingQueue while the playlist position is 0), a progress report for every
// time update, pause, unpause and repeat-mode change and every tick of the progress timer
// (10 seconds, on the main queue; the client thins out time updates), a stop report when a file
// ends, fails or the player shuts down (the last with the queue) and when the playlist moves on to
// another item. Reports need the player, its current item and media source (with an Id) and the
// item's play session id (the PlaySessionId query parameter of a stream URL, the item's local
// play-session id for a file); without them the report is dropped (logged, except for a missing
// session id). The client is the one the connection manager holds for the item's ServerId (the
// shared ConnectionManager unless the handler was made with another manager or a lookup of the
// host's own), looked up at every report.
//
// Log category "PlayerEventHandler". Failures never reach the player.
//
// Thread rule: meant for the main queue: players call it there, the timer and the
// application-did-become-active notification (Notifications::kApplicationDidBecomeActive, posted
// by the host) arrive there, the video attach runs there. Its fields are guarded, so a call from
// another thread is safe, but steps of calls from several threads may interleave. Statements are
// handed to the web view on the calling thread. Ownership: always held in std::shared_ptr
// (create()); it keeps the player strongly and both host delegates weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Export.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/PlayerEventDelegate.h"
#include "VornKit/Playback/VideoPresenterDelegate.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"

namespace vk {

/// Which web-side player object the statements address.
enum class UIPlayerClient { videoClient, audioClient };

class ConnectionManager;

/// The bridge from the native player's events to the web user interface and the server (see the
/// file comment); shared, made by create().
class VK_EXPORT PlayerEventHandler : public PlayerEventDelegate,
                                     public std::enable_shared_from_this<PlayerEventHandler> {
  public:
    /// The client registered for a server id, or null.
    using ClientLookup = std::function<std::shared_ptr<ApiClient>(const std::string& serverId)>;

    /// How often a playing item's progress is reported unless set otherwise.
    static constexpr std::chrono::milliseconds kProgressInterval{10'000};

    /// A handler with the host's delegates (either may be empty), registered for the
    /// application-did-become-active notification until it is destroyed. Reports go through the
    /// clients of ConnectionManager::sharedInstance(), which is created at the first report.
    static std::shared_ptr<PlayerEventHandler> create(
        std::weak_ptr<WebViewMessageDelegate> messageDelegate,
        std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate);
    /// The same with the clients of `connectionManager` (kept for the handler's lifetime).
    static std::shared_ptr<PlayerEventHandler> create(
        std::weak_ptr<WebViewMessageDelegate> messageDelegate,
        std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate,
        std::shared_ptr<ConnectionManager> connectionManager);
    /// The same with a registry of the host's own: `clientLookup` finds the client of a server
    /// id (null: none); it is called on the thread of the event that reports.
    static std::shared_ptr<PlayerEventHandler> create(
        std::weak_ptr<WebViewMessageDelegate> messageDelegate,
        std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate, ClientLookup clientLookup);
    ~PlayerEventHandler() override;
    PlayerEventHandler(const PlayerEventHandler&) = delete;
    PlayerEventHandler& operator=(const PlayerEventHandler&) = delete;

    // State ---------------------------------------------------------------------------------

    /// The player set by setPlayer() (shared), or null.
    std::shared_ptr<Player> player() const;
    /// Setting it also sets currentPlayer(): audio gives audioClient, anything else videoClient.
    MediaType currentMediaType() const override;
    void setCurrentMediaType(MediaType type) override;
    /// The web-side player object statements address now.
    UIPlayerClient currentPlayer() const;
    /// The queue position last heard from the player.
    std::int32_t currentPlaylistPos() const;
    /// The item whose playback is being reported (shared), or null.
    std::shared_ptr<MediaItem> currentItem() const;
    /// The playback position last heard from the player, milliseconds.
    std::int64_t currentPositionMs() const;
    /// The repeat mode last heard from the player.
    RepeatMode currentRepeatMode() const;
    /// Whether the progress timer runs (or its creation is scheduled).
    bool progressTimerActive() const;
    /// The progress timer's interval (kProgressInterval); takes effect at its next start.
    void setProgressInterval(std::chrono::milliseconds interval);

    /// The play session id of `item`: for a path beginning with "http" (any case), the value of
    /// the first query parameter named "PlaySessionId" (any case); for other paths the item's
    /// localPlaySessionId.
    static std::optional<std::string> playSessionId(const MediaItem& item);

    // PlayerEventDelegate -------------------------------------------------------------------

    /// Everything but seeking and playbackRestarted.
    PlayerEventOperations implementedOperations() const override;
    /// Stores the player (the host registers the handler with the player itself).
    void setPlayer(std::shared_ptr<Player> player) override;
    void onTimeUpdate(double positionMs) override;
    void onCacheUpdate(double startMs, double endMs) override;
    void onDurationChanged(double durationMs) override;
    void onSubtitleDelayChanged(double delayMs) override;
    void onPlaybackRateChanged(double rate) override;
    void fileDidLoad() override;
    void fileDidEnd() override;
    void fileDidEndWithErrorCode(std::int32_t code) override;
    void fileWillStart(const std::optional<std::string>& path,
                       const std::optional<std::string>& playlistItemId) override;
    void playbackDidPause() override;
    void playbackDidUnpause() override;
    void shutdown() override;
    void playlistPositionChanged(std::int32_t index) override;
    void onPlaylistItemRemoved(const std::shared_ptr<MediaItem>& item) override;
    void onPlaylistItemMoved(const std::string& playlistItemId, std::int64_t newIndex) override;
    void onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& queue) override;
    void onVolumeChanged(std::int64_t volume, std::int64_t maximum) override;
    void onRepeatModeChanged(const std::string& mode) override;
    /// Called at the end of shutdown(); does nothing.
    void onShutdown();

    /// Re-sends the queue and the position when the player has media (the did-become-active
    /// notification calls it).
    void handleAppDidBecomeActive();

  private:
    struct Report;

    PlayerEventHandler(std::weak_ptr<WebViewMessageDelegate> messageDelegate,
                       std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate,
                       ClientLookup clientLookup);

    std::string objectName() const;
    void send(const std::string& statement) const;
    void propertyCall(const char* name, double value) const;
    void eventCall(const char* name) const;
    void playlistEntry(const MediaItem& item) const;
    void setSyncActive() const;

    /// The player, item, source and session a report needs (audio only); logs `missingMessage`
    /// when one is missing (a missing session id silently).
    std::optional<Report> reportBasis(const char* missingMessage);
    std::optional<Report> buildProgressReport();
    void playbackStarted();
    void progressReport(ProgressEvent event);
    void playbackStopped(bool withQueue);
    void startProgressTimer();
    void stopProgressTimer();

    const std::weak_ptr<WebViewMessageDelegate> messageDelegate_;
    const std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate_;
    const ClientLookup clientLookup_;
    ObserverToken becomeActiveObserver_ = 0;

    mutable std::mutex mutex_;
    std::shared_ptr<Player> player_;
    UIPlayerClient currentPlayer_ = UIPlayerClient::videoClient;
    std::int32_t currentPlaylistPos_ = 0;
    std::shared_ptr<MediaItem> currentItem_;
    std::int64_t currentPositionMs_ = 0;
    RepeatMode currentRepeatMode_ = RepeatMode::RepeatNone;
    MediaType currentMediaType_ = MediaType::Video;
    std::shared_ptr<RepeatingTimer> progressTimer_;
    bool progressTimerScheduled_ = false;
    std::uint64_t progressTimerGeneration_ = 0;
    std::chrono::milliseconds progressInterval_ = kProgressInterval;
};

}  // namespace vk
