// PlayerEventDelegate: a listener of a player's events (the event bridge to the web user interface
// and the server, the now-playing publisher, a host's own listeners). Listeners register with the
// player (Player::addDelegate); the player calls them on the main queue, in the order of the
// events.
//
// Every operation is optional. A listener says which ones it implements through
// implementedOperations(); players call only those. By default every notification is implemented
// (their defaults do nothing) and neither media-type accessor is, so a listener only overrides what
// it cares about. Positions and durations are milliseconds.
//
// Ownership: players keep listeners weakly; the host owns them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Playback/MediaType.h"

namespace vk {

class Player;
class MediaItem;

/// The operations of PlayerEventDelegate, in declaration order.
enum class PlayerEventOperation : std::uint8_t {
    setPlayer,
    onTimeUpdate,
    onCacheUpdate,
    onDurationChanged,
    onSubtitleDelayChanged,
    onPlaybackRateChanged,
    fileDidLoad,
    fileDidEnd,
    fileDidEndWithErrorCode,
    fileWillStart,
    playbackDidPause,
    playbackDidUnpause,
    shutdown,
    seeking,
    playbackRestarted,
    playlistPositionChanged,
    onPlaylistItemRemoved,
    onPlaylistItemMoved,
    onPlaylistChanged,
    onVolumeChanged,
    onRepeatModeChanged,
    currentMediaType,
    setCurrentMediaType,
};

/// A set of PlayerEventOperation values.
class VK_EXPORT PlayerEventOperations {
  public:
    constexpr PlayerEventOperations() = default;
    /// Every notification (setPlayer to onRepeatModeChanged), without the media-type accessors.
    static constexpr PlayerEventOperations notifications() {
        return PlayerEventOperations(bit(PlayerEventOperation::currentMediaType) - 1);
    }
    /// Every operation, the media-type accessors included.
    static constexpr PlayerEventOperations all() {
        return PlayerEventOperations((bit(PlayerEventOperation::setCurrentMediaType) << 1) - 1);
    }
    /// Whether `op` is in the set.
    constexpr bool contains(PlayerEventOperation op) const { return (bits_ & bit(op)) != 0; }
    /// The set with `op` added.
    constexpr PlayerEventOperations with(PlayerEventOperation op) const {
        return PlayerEventOperations(bits_ | bit(op));
    }
    /// The set with `op` taken out.
    constexpr PlayerEventOperations without(PlayerEventOperation op) const {
        return PlayerEventOperations(bits_ & ~bit(op));
    }
    /// The same operations.
    friend constexpr bool operator==(PlayerEventOperations, PlayerEventOperations) = default;

  private:
    constexpr explicit PlayerEventOperations(std::uint32_t bits) : bits_(bits) {}
    static constexpr std::uint32_t bit(PlayerEventOperation op) {
        return std::uint32_t{1} << static_cast<unsigned>(op);
    }
    std::uint32_t bits_ = 0;
};

/// A listener of a player's events; every operation is optional (see the file comment).
class VK_EXPORT PlayerEventDelegate {
  public:
    virtual ~PlayerEventDelegate() = default;

    /// The operations players call on this listener; asked at each event, so it may change.
    virtual PlayerEventOperations implementedOperations() const {
        return PlayerEventOperations::notifications();
    }
    /// Whether players call `op` on this listener.
    bool implements(PlayerEventOperation op) const { return implementedOperations().contains(op); }

    /// The player the listener now follows (the listener decides whether to keep it, and how).
    virtual void setPlayer(std::shared_ptr<Player> /*player*/) {}
    /// Playback position, milliseconds.
    virtual void onTimeUpdate(double /*positionMs*/) {}
    /// The buffered range around the position, milliseconds.
    virtual void onCacheUpdate(double /*startMs*/, double /*endMs*/) {}
    /// The current file's duration, milliseconds.
    virtual void onDurationChanged(double /*durationMs*/) {}
    /// The subtitle delay, milliseconds.
    virtual void onSubtitleDelayChanged(double /*delayMs*/) {}
    /// Speed factor (1.0 is normal speed).
    virtual void onPlaybackRateChanged(double /*rate*/) {}
    /// The file that started is loaded and plays.
    virtual void fileDidLoad() {}
    /// The last queue entry played to its end; nothing follows.
    virtual void fileDidEnd() {}
    /// The current file failed; `code` is the player's own error code.
    virtual void fileDidEndWithErrorCode(std::int32_t /*code*/) {}
    /// A file is about to start: its path and its playlist entry id, either may be absent.
    virtual void fileWillStart(const std::optional<std::string>& /*path*/,
                               const std::optional<std::string>& /*playlistItemId*/) {}
    /// Playback paused.
    virtual void playbackDidPause() {}
    /// Playback resumed after a pause.
    virtual void playbackDidUnpause() {}
    /// Playback stopped for good (stop() or the player quit); no file is loaded.
    virtual void shutdown() {}
    /// A seek began.
    virtual void seeking() {}
    /// Playback goes on after a start or a seek.
    virtual void playbackRestarted() {}
    /// The current queue entry is now the one at `index`.
    virtual void playlistPositionChanged(std::int32_t /*index*/) {}
    /// `item` (shared) was taken out of the queue.
    virtual void onPlaylistItemRemoved(const std::shared_ptr<MediaItem>& /*item*/) {}
    /// The entry `playlistItemId` now stands at `newIndex`.
    virtual void onPlaylistItemMoved(const std::string& /*playlistItemId*/,
                                     std::int64_t /*newIndex*/) {}
    /// The queue's new content, in order (the items are shared with the player).
    virtual void onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& /*queue*/) {}
    /// Volume 0-100 and the scale's maximum (100).
    virtual void onVolumeChanged(std::int64_t /*volume*/, std::int64_t /*maximum*/) {}
    /// "RepeatNone", "RepeatAll" or "RepeatOne" (any case).
    virtual void onRepeatModeChanged(const std::string& /*mode*/) {}
    /// The media type the listener deals with (players call it only when implemented).
    virtual MediaType currentMediaType() const { return MediaType::Video; }
    /// The media type of what the player plays now (called only when implemented).
    virtual void setCurrentMediaType(MediaType /*type*/) {}
};

}  // namespace vk
