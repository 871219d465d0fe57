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
    static constexpr PlayerEventOperations all() {
        return PlayerEventOperations((bit(PlayerEventOperation::setCurrentMediaType) << 1) - 1);
    }
    constexpr bool contains(PlayerEventOperation op) const { return (bits_ & bit(op)) != 0; }
    constexpr PlayerEventOperations with(PlayerEventOperation op) const {
        return PlayerEventOperations(bits_ | bit(op));
    }
    constexpr PlayerEventOperations without(PlayerEventOperation op) const {
        return PlayerEventOperations(bits_ & ~bit(op));
    }
    friend constexpr bool operator==(PlayerEventOperations, PlayerEventOperations) = default;

  private:
    constexpr explicit PlayerEventOperations(std::uint32_t bits) : bits_(bits) {}
    static constexpr std::uint32_t bit(PlayerEventOperation op) {
        return std::uint32_t{1} << static_cast<unsigned>(op);
    }
    std::uint32_t bits_ = 0;
};

class VK_EXPORT PlayerEventDelegate {
  public:
    virtual ~PlayerEventDelegate() = default;

    virtual PlayerEventOperations implementedOperations() const {
        return PlayerEventOperations::notifications();
    }
    bool implements(PlayerEventOperation op) const { return implementedOperations().contains(op); }

    virtual void setPlayer(std::shared_ptr<Player> /*player*/) {}
    /// Playback position, milliseconds.
    virtual void onTimeUpdate(double /*positionMs*/) {}
    /// The buffered range around the position, milliseconds.
    virtual void onCacheUpdate(double /*startMs*/, double /*endMs*/) {}
    virtual void onDurationChanged(double /*durationMs*/) {}
    virtual void onSubtitleDelayChanged(double /*delayMs*/) {}
    /// Speed factor (1.0 is normal speed).
    virtual void onPlaybackRateChanged(double /*rate*/) {}
    virtual void fileDidLoad() {}
    virtual void fileDidEnd() {}
    virtual void fileDidEndWithErrorCode(std::int32_t /*code*/) {}
    /// A file is about to start: its path and its playlist entry id, either may be absent.
    virtual void fileWillStart(const std::optional<std::string>& /*path*/,
                               const std::optional<std::string>& /*playlistItemId*/) {}
    virtual void playbackDidPause() {}
    virtual void playbackDidUnpause() {}
    virtual void shutdown() {}
    virtual void seeking() {}
    virtual void playbackRestarted() {}
    virtual void playlistPositionChanged(std::int32_t /*index*/) {}
    virtual void onPlaylistItemRemoved(const std::shared_ptr<MediaItem>& /*item*/) {}
    virtual void onPlaylistItemMoved(const std::string& /*playlistItemId*/,
                                     std::int64_t /*newIndex*/) {}
    virtual void onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& /*queue*/) {}
    /// Volume 0-100 and the scale's maximum (100).
    virtual void onVolumeChanged(std::int64_t /*volume*/, std::int64_t /*maximum*/) {}
    /// "RepeatNone", "RepeatAll" or "RepeatOne" (any case).
    virtual void onRepeatModeChanged(const std::string& /*mode*/) {}
    virtual MediaType currentMediaType() const { return MediaType::Video; }
    virtual void setCurrentMediaType(MediaType /*type*/) {}
};

}  // namespace vk
