// RemoteControls: publishes the player's current item as "now playing" (titles, times, queue place,
// cover art), answers the desktop's remote commands by driving the player, shows a notification
// when a new item starts, and keeps an idle audio output while a remote (web) player is in use.
//
// It listens to the player as a PlayerEventDelegate. The desktop parts it uses come in Services:
// on a desktop an MprisService's two centres, a FreedesktopNotificationCenter and the shared
// AudioOutput; in tests their doubles.
//
// Remote commands: toggle play/pause, play, pause, next, previous, change position and change
// shuffle mode are enabled once handlers are installed (at creation and at each new file); like
// and change repeat mode only while an in-car display is in use (isCarPlay()). Every other command
// stays disabled. shutdown() removes them all.
//
// Volume: the desktop's volume requests (an MPRIS Volume write) drive the player: a player that is
// a VolumeController gets setVolume(0-100); one that is only a VolumeChangeDelegate (RemotePlayer)
// gets onVolumeChanged(0-100, 100), which it passes on to the web player. The player's own volume
// changes (onVolumeChanged) are shown to the desktop as the command centre's current volume.
//
// Thread rule: bound to the main queue (player events, command handlers, setPlayer, the audio
// unit calls), except updateNowPlayingInfo(), clearNowPlayingInfo() and loadImageAsync(), which
// are thread-safe: artwork loads complete on other queues and publish under the object's lock.
// Ownership: the player is kept weakly; the host owns this object.
#pragma once

#include "VornKit/Export.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ImageCache.h"
#include "VornKit/Platform/Audio/AudioOutput.h"
#include "VornKit/Platform/Media/NowPlayingCenter.h"
#include "VornKit/Platform/Media/RemoteCommandCenter.h"
#include "VornKit/Platform/Media/UserNotificationCenter.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/PlayerEventDelegate.h"

namespace vk {

class ConnectionManager;

/// The favourites service the like command uses. An empty function stands for ItemFavoritesManager
/// on the shared connection manager (ConnectionManager::shared()), which a host normally wants;
/// tests and hosts with a manager of their own set both functions, e.g. with of().
struct VK_EXPORT RemoteFavorites {
    /// ItemFavoritesManager's operations on `manager`, which the functions keep alive.
    static RemoteFavorites of(std::shared_ptr<ConnectionManager> manager);

    /// Asks whether an item is a favourite; the completion runs once.
    std::function<void(const std::string& serverId, const std::string& itemId,
                       std::function<void(bool isFavorite)> completion)>
        isItemFavorite;
    /// Marks or unmarks an item as a favourite; the completion runs once, with whether it worked.
    std::function<void(const std::string& serverId, const std::string& itemId, bool isFavorite,
                       std::function<void(bool done)> completion)>
        setItemFavorite;
};

/// The player's bridge to the desktop's now-playing display, remote commands and notifications;
/// made by init(), owned by the host (shared), used on the main queue.
class VK_EXPORT RemoteControls : public PlayerEventDelegate,
                                 public std::enable_shared_from_this<RemoteControls> {
  public:
    /// The desktop parts the object drives; the two centres must not be null.
    struct Services {
        /// The now-playing and remote-command centres the object publishes to and listens on.
        /// @{
        std::shared_ptr<NowPlayingCenter> nowPlayingCenter;
        std::shared_ptr<RemoteCommandCenter> commandCenter;
        /// @}
        /// Null: no notifications.
        std::shared_ptr<UserNotificationCenter> notificationCenter;
        /// Null: AudioOutput::sharedInstance().
        std::shared_ptr<AudioOutput> audioOutput;
        /// How the like command asks and changes an item's favourite flag.
        RemoteFavorites favorites;
    };

    /// Creates the image cache (count limit 15) and installs the remote command handlers.
    static std::shared_ptr<RemoteControls> init(Services services);
    /// init(), then setPlayer().
    static std::shared_ptr<RemoteControls> initWithPlayer(std::shared_ptr<Player> player,
                                                          Services services);
    ~RemoteControls() override;

    /// Keeps the player weakly and registers with it; a remote player gets the idle output
    /// created and started, a local one has it stopped and disposed of. The desktop's volume
    /// requests go to this player from now on (refused when it can take none).
    void setPlayer(std::shared_ptr<Player> player) override;
    /// "carplay" in any case marks in-car use.
    void setPlaybackContext(std::string context);

    /// Publishes now-playing information. Times are milliseconds and published in whole seconds;
    /// the queue place only when 0 <= queueIndex < queueCount.
    void updateNowPlayingInfo(std::optional<std::string> artist, std::optional<std::string> title,
                              std::optional<std::string> album, double durationMs,
                              double currentTimeMs, std::string coverUrl, bool paused,
                              std::int64_t queueIndex = 0, std::int64_t queueCount = 0);
    /// Removes the information, forgets the artwork and its URL, and sets the state to stopped.
    void clearNowPlayingInfo();
    /// Loads a cover: http(s) through the shared URL session (its trust rules; completion on its
    /// queue), "file://" paths, or a path relative to the documents directory (appended without a
    /// separator). The completion gets the image, or null; it runs exactly once, off the caller's
    /// thread.
    void loadImageAsync(const std::string& coverUrl,
                        std::function<void(std::shared_ptr<const Image>)> completion);
    /// Whether an in-car display is in use: the audio route is a car port, or the playback
    /// context says "carplay".
    bool isCarPlay();

    /// Enables the playback commands and attaches handlers that drive the player (a command that
    /// arrives without a player does nothing), then the in-car ones; a second call does nothing.
    void registerRemoteControlEventHandlers();
    /// While an in-car display is in use, enables like (toggles the current item's favourite state)
    /// and change repeat mode; otherwise disables and detaches them.
    void registerCarPlayEventHandlers();
    /// Disables every command and detaches this object's handlers.
    void unregisterRemoteControlEventHandlers();

    /// Creates the idle output if it is not made yet; a failure leaves it absent.
    void initAudioUnit();
    /// Starts the idle output, when it was created.
    void startAudioUnit();
    /// Stops the idle output, keeping it for a later start.
    void stopAudioUnit();
    /// Stops the idle output and disposes of it.
    void uninitAudioUnit();

    // PlayerEventDelegate
    void fileWillStart(const std::optional<std::string>& path,
                       const std::optional<std::string>& playlistItemId) override;
    /// Publishes the current item as paused.
    void playbackDidPause() override;
    /// Marks the item playing; the next time update publishes it.
    void playbackDidUnpause() override;
    /// Lets the next time update publish the position.
    void playbackRestarted() override;
    /// Publishes the current item with its new duration.
    void onDurationChanged(double durationMs) override;
    void onTimeUpdate(double positionMs) override;
    /// Publishes the new queue place and fetches the next item's cover into the cache.
    void playlistPositionChanged(std::int32_t index) override;
    /// Publishes the current item with the queue's new length.
    void onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& queue) override;
    void onRepeatModeChanged(const std::string& mode) override;
    /// Shows the player's volume (volume / maximum) to the desktop.
    void onVolumeChanged(std::int64_t volume, std::int64_t maximum) override;
    /// Disables every command, clears the now-playing information and forgets the item.
    void shutdown() override;

    /// The cover cache (count limit 15), shared with the notification attachment.
    ImageCache& imageCache() { return imageCache_; }
    /// The item now playing (shared), or null; main queue only.
    std::shared_ptr<MediaItem> currentItem() const { return currentItem_; }
    /// Whether the remote command handlers are installed.
    bool registeredForCommands() const { return registeredForCommands_; }

  private:
    explicit RemoteControls(Services services);
    std::shared_ptr<Player> player() const { return player_.lock(); }
    /// Sends the desktop's volume requests to `player`, as far as it takes them.
    void installVolumeHandler(const std::shared_ptr<Player>& player);
    void publishForCurrentItem();
    void publish(std::optional<std::string> artist, std::optional<std::string> title,
                 std::optional<std::string> album, double durationMs, double currentTimeMs,
                 std::string coverUrl, bool paused, std::int64_t queueIndex,
                 std::int64_t queueCount, std::optional<std::string> itemIdentifier);
    void coverLoaded(const std::string& url, std::shared_ptr<const Image> image);
    void attach(RemoteCommand command, RemoteCommandCenter::Handler handler);
    void detach(RemoteCommand command);
    void showNotificationForCurrentItem(std::shared_ptr<MediaItem> item, bool askedAlready);
    void notify(const std::shared_ptr<MediaItem>& item);
    /// A favourites completion that sets the like command's state from `item`'s answer, on the
    /// main queue, only while `item` is still the current one: answers arrive in any order.
    std::function<void(bool)> likeStateOf(std::shared_ptr<MediaItem> item);

    Services services_;
    std::weak_ptr<Player> player_;
    std::shared_ptr<MediaItem> currentItem_;
    std::string currentPlaybackContext_;
    bool paused_ = false;
    double position_ = 0;
    double duration_ = 0;
    std::int64_t currentQueueIndex_ = 0;
    std::int64_t currentQueueCount_ = 0;
    bool shouldUpdateOnTime_ = true;
    bool registeredForCommands_ = false;
    bool audioUnit_ = false;
    std::map<RemoteCommand, RemoteCommandCenter::Target> targets_;

    // Guarded by mutex_: the artwork and the publication to the centre.
    std::mutex mutex_;
    std::string coverImageUrl_;
    std::shared_ptr<const Image> coverImage_;
    ImageCache imageCache_;
};

}  // namespace vk
