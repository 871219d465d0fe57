// Player: what the framework expects of a player, the host's native player, the framework's
// MpvPlayer or the RemotePlayer that stands for the web user interface's own player. Playback: the
// two play requests of a native player.
//
// Units: positions are milliseconds. Indexes count from 0. Absent numbers and host objects are
// allowed where an operation takes them (std::optional, empty std::any).
//
// Listeners: addDelegate() registers a PlayerEventDelegate; a player keeps it weakly and calls it
// on the main queue, only for the operations it implements. Implementations state their own thread
// rule (the framework's players are thread-safe).
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "VornKit/Playback/MediaType.h"

namespace vk {

class MediaItem;
class PlayerEventDelegate;

/// A player the framework drives and listens to; shared (std::shared_ptr), owned by the host.
class VK_EXPORT Player {
  public:
    virtual ~Player() = default;

    /// Whether the player is ready to take commands; before that, commands do nothing.
    virtual bool isInitialized() const = 0;
    /// True for a native on-device player, false for the web user interface's player.
    virtual bool isLocalPlayer() const = 0;
    /// The player's view object (the host's type); empty when it has none.
    virtual std::any view() const = 0;
    /// The kind of media loaded now (or last loaded).
    virtual MediaType currentMediaType() const = 0;
    /// The queue entry playing now (shared), or null when none is.
    virtual std::shared_ptr<MediaItem> currentMediaItem() const = 0;
    /// A copy of the media source playing now, absent when none is known.
    virtual std::optional<MediaSourceInfo> currentMediaSource() const = 0;
    /// Kept weakly; adding one twice registers it once.
    virtual void addDelegate(std::shared_ptr<PlayerEventDelegate> delegate) = 0;
    /// Stops calling `delegate`; one that was never added is ignored.
    virtual void removeDelegate(std::shared_ptr<PlayerEventDelegate> delegate) = 0;
    /// Whether media is loaded and not paused.
    virtual bool isPlaying() const = 0;
    /// Whether media is loaded.
    virtual bool hasMedia() const = 0;
    /// Whether media of `type` is loaded.
    virtual bool hasMedia(MediaType type) const = 0;
    /// Shows the video track again (the player chooses which).
    virtual void enableVideo() = 0;
    /// Hides video and keeps playing the rest (audio-only playback).
    virtual void disableVideo() = 0;
    /// A player-specific command with an argument (the host's object; may be empty).
    virtual void execute(const std::string& command, const std::any& argument) = 0;
    /// Pauses when playing, resumes when paused.
    virtual void playPause() = 0;
    /// Pauses; nothing when already paused or nothing is loaded.
    virtual void pause() = 0;
    /// Resumes; nothing when already playing or nothing is loaded.
    virtual void unpause() = 0;
    /// Goes to the next queue entry (at the end, the repeat mode decides).
    virtual void nextTrack() = 0;
    /// Goes to the previous queue entry, or back to the start of the current one.
    virtual void prevTrack() = 0;
    /// Toggles between fitting the video in the view and filling the view.
    virtual void zoomUnzoom() = 0;
    /// A copy of the play queue in order; the items are shared with the player.
    virtual std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const = 0;
    /// Adds the items of a JSON array of queue items (MediaItem::mediaItemsFromJson) at the end,
    /// or right after the current entry when `next`.
    virtual void queueItems(const std::string& itemsJson, bool next) = 0;
    /// Removes the queue entry at `index`; an index outside the queue does nothing.
    virtual void removeFromPlaylistAtIndex(std::int32_t index) = 0;
    /// Moves the entry at `from` so that it ends up at index `to`.
    virtual void movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) = 0;
    /// The queue entry at `index` (shared), or null outside the queue.
    virtual std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t index) const = 0;
    /// The index of the current queue entry (-1 when a queue player has none).
    virtual std::int64_t getCurrentPlaylistIndex() const = 0;
    /// Stops playback; the argument is the host's (may be empty).
    virtual void stop(const std::any& argument) = 0;
    /// Seeks to a position in milliseconds.
    virtual void setPosition(std::optional<double> positionMs) = 0;
    /// Seeks by an offset in milliseconds (negative: backwards).
    virtual void seekRelative(std::optional<double> offsetMs) = 0;
    /// Position in milliseconds.
    virtual std::int64_t getCurrentStreamPosition() const = 0;
    /// Forces the video's aspect ratio ("16:9", "4:3"...); false when the player refused it.
    virtual bool setAspectRatio(const std::string& ratio) = 0;
    /// Shows the subtitle stream `index`; absent or negative turns subtitles off.
    virtual void setSubtitleStreamIndex(std::optional<std::int64_t> index) = 0;
    /// Plays the audio stream `index`; absent or negative turns audio off.
    virtual void setAudioStreamIndex(std::optional<std::int64_t> index) = 0;
    /// Seeks to a position given as text: milliseconds in decimal.
    virtual void seek(const std::string& positionMs) = 0;
    /// Turns shuffled playback of the queue on or off.
    virtual void setShuffleOn(bool on) = 0;
    /// "RepeatNone", "RepeatAll" or "RepeatOne".
    virtual void setRepeatMode(const std::string& mode) = 0;
};

/// The repeat mode a player's mode text names: "RepeatOne" and "RepeatAll" in any case; anything
/// else is RepeatNone.
inline RepeatMode repeatModeNamed(std::string_view mode) {
    auto is = [mode](std::string_view name) {
        if (mode.size() != name.size())
            return false;
        for (std::size_t i = 0; i < mode.size(); ++i) {
            char c = mode[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != name[i])
                return false;
        }
        return true;
    };
    return is("repeatone")   ? RepeatMode::RepeatOne
           : is("repeatall") ? RepeatMode::RepeatAll
                             : RepeatMode::RepeatNone;
}

/// The play requests a native player takes from the web user interface.
class VK_EXPORT Playback {
  public:
    virtual ~Playback() = default;

    /// Plays one video: `path` (a URL or a local file), with the item's id and JSON, its media
    /// source's JSON, from `startPosMs`, with the given stream indexes (-1: none).
    virtual void playVideo(const std::string& path, bool isLocal, const std::string& itemId,
                           const std::string& itemJson, const std::string& mediaSourceJson,
                           bool isTranscoding, std::int64_t startPosMs,
                           std::int32_t videoStreamIndex, std::int32_t audioStreamIndex,
                           std::int32_t subtitleStreamIndex, const std::string& posterUrl) = 0;
    /// Replaces the queue with `items` and plays from entry `startIndex` at `startPosMs`.
    /// `mediaSource` is the source of the start entry.
    virtual void playAudio(const std::vector<std::shared_ptr<MediaItem>>& items, bool isLocal,
                           const std::optional<MediaSourceInfo>& mediaSource,
                           std::int32_t startIndex, std::int64_t startPosMs) = 0;
};

}  // namespace vk
