// MpvPlayer: a native Player on libmpv. It plays MediaItems (stream URLs or local files of
// downloaded items) from a queue of its own and tells its listeners (PlayerEventDelegate) what
// happens, on the main queue:
//
//   file starts          fileWillStart(path, playlistItemId), then playlistPositionChanged(index)
//                        when the position differs from the one listeners last heard (a new
//                        queue keeps that position: its first entry is announced unless listeners
//                        already stand there; at the position they hold, the listener announces
//                        the entry itself, as the event bridge does)
//   file loaded          fileDidLoad
//   end of the last entry  fileDidEnd (an entry followed by another just makes room for it)
//   entry starts again   fileDidEnd first (repeat one, repeat all over one entry): every play of
//                        an entry ends before the next play of it starts
//   file failed          fileDidEndWithErrorCode(libmpv's error code)
//   stop(), player quit  shutdown
//   time-pos             onTimeUpdate, at most once per `timeUpdateInterval` of playback, at once
//                        after a start or a seek, and at the file's duration when it plays to
//                        its end
//   duration, sub-delay  onDurationChanged, onSubtitleDelayChanged
//   pause                playbackDidPause / playbackDidUnpause whenever the state differs from
//                        the one listeners last heard, once a file is loaded (a new queue played
//                        after a paused one plays, and its first entry announces the unpause)
//   cache range          onCacheUpdate (the buffered range around the position)
//   speed, volume        onPlaybackRateChanged, onVolumeChanged(0-100, 100)
//   seek, restart        seeking, playbackRestarted
//   queue changes        onPlaylistChanged, onPlaylistItemRemoved, onPlaylistItemMoved,
//                        onRepeatModeChanged
// Positions, durations and ranges are whole milliseconds (positions never below 0); property
// values reported when the player starts are not changes. A new queue (playAudio, playVideo) ends
// the entry that was playing: listeners move to the new queue's first entry as above (the event
// bridge reports the stop of the old entry there), or hear fileDidEnd when the new queue plays
// nothing.
//
// currentMediaSource() is the source of the entry that loaded last (it changes just before
// fileDidLoad, or when an entry fails), so that listeners reporting the end of the previous entry
// when the position moves on still see its source. Sources: the one given to playAudio for its
// start entry, otherwise one whose Id is the item's ItemId (a library item's own source). The
// start position given to playAudio or playVideo holds for the first play of the start entry; a
// later play of it (repeated, or gone back to) starts at its beginning.
//
// Audio output and video output are the host's choice (Options); `null` plays silently, as fast as
// real time. Commands take effect in libmpv after the call returns; what they change is announced
// through the listeners. execute() takes only the commands a player's controls need (see there):
// a host may pass on what its web user interface asks for without handing it libmpv.
//
// Thread rule: thread-safe. Listener calls run on the main queue, which the host must service
// (libmpv also waits for it while a file loads). create() waits, briefly, for libmpv's play loop
// to be ready.
// Ownership: held in std::shared_ptr (create()); listeners are kept weakly. Destroying the player
// stops libmpv without telling the listeners; quit() tells them first.
#pragma once

#include <any>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/PlayQueue.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/PlayerDelegateList.h"
#include "VornKit/Playback/VolumeChangeDelegate.h"

namespace vk {

/// A native player on libmpv; thread-safe, shared (std::shared_ptr), owned by the host.
class VK_EXPORT MpvPlayer : public Player,
                            public Playback,
                            public VolumeController,
                            public std::enable_shared_from_this<MpvPlayer> {
  public:
    /// How libmpv is set up; fixed once the player is created.
    struct Options {
        /// libmpv's audio output ("pulse", "pipewire", "alsa", "null").
        std::string audioOutput = "pulse";
        /// libmpv's video output ("null" shows nothing; "gpu" with a window).
        std::string videoOutput = "null";
        /// The host window to draw video into (libmpv's "wid").
        std::optional<std::int64_t> windowId;
        /// How often the player reports its position while playing.
        std::chrono::milliseconds timeUpdateInterval{1'000};
        /// Further libmpv options, set in order before the player starts ("speed", "cache").
        std::vector<std::pair<std::string, std::string>> extraOptions;
    };

    /// A player with libmpv started. When libmpv cannot start (a bad option), the player exists
    /// but isInitialized() is false and it plays nothing.
    static std::shared_ptr<MpvPlayer> create(Options options);
    /// A player with the default Options (PulseAudio output, no video).
    static std::shared_ptr<MpvPlayer> create() { return create(Options()); }
    ~MpvPlayer() override;
    MpvPlayer(const MpvPlayer&) = delete;
    MpvPlayer& operator=(const MpvPlayer&) = delete;

    /// Makes libmpv quit; listeners get shutdown. The player plays nothing afterwards.
    void quit();
    /// libmpv's version text ("mpv 0.35.1").
    static std::string libraryVersion();

    // Player ------------------------------------------------------------------------------------
    bool isInitialized() const override;
    bool isLocalPlayer() const override { return true; }
    /// The window id given in the options, if any.
    std::any view() const override;
    MediaType currentMediaType() const override;
    std::shared_ptr<MediaItem> currentMediaItem() const override;
    std::optional<MediaSourceInfo> currentMediaSource() const override;
    void addDelegate(std::shared_ptr<PlayerEventDelegate> delegate) override;
    void removeDelegate(std::shared_ptr<PlayerEventDelegate> delegate) override;
    bool isPlaying() const override;
    bool hasMedia() const override;
    bool hasMedia(MediaType type) const override;
    void enableVideo() override;
    void disableVideo() override;
    /// A player-control command, one of:
    ///   "volume"        number 0-100 (held at the ends)
    ///   "mute", "sub-visibility"  bool, or "yes" / "no"; none toggles
    ///   "speed"         number, 0.01-100
    ///   "aid", "sid"    libmpv track id (0 and up), or "auto" / "no"
    ///   "sub-delay", "audio-delay"  number of seconds
    ///   "cycle"         one of "pause", "mute", "aid", "sid", "sub-visibility"
    ///   "frame-step", "frame-back-step"  no argument
    /// Numbers are double, float, int or std::int64_t, or a text that is a finite number. Any other
    /// command, or an argument of the wrong kind, is refused and logged ("refused the command
    /// ..."); nothing reaches libmpv.
    void execute(const std::string& command, const std::any& argument) override;
    void playPause() override;
    void pause() override;
    void unpause() override;
    void nextTrack() override;
    /// Back to the start of the entry when more than 3 s have played, else the previous entry.
    void prevTrack() override;
    void zoomUnzoom() override;
    std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const override;
    void queueItems(const std::string& itemsJson, bool next) override;
    void removeFromPlaylistAtIndex(std::int32_t index) override;
    void movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) override;
    std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t index) const override;
    std::int64_t getCurrentPlaylistIndex() const override;
    /// Stops and empties the queue; listeners get shutdown.
    void stop(const std::any& argument) override;
    void setPosition(std::optional<double> positionMs) override;
    void seekRelative(std::optional<double> offsetMs) override;
    std::int64_t getCurrentStreamPosition() const override;
    bool setAspectRatio(const std::string& ratio) override;
    /// libmpv track ids; absent or negative turns the track off.
    void setSubtitleStreamIndex(std::optional<std::int64_t> index) override;
    void setAudioStreamIndex(std::optional<std::int64_t> index) override;
    void seek(const std::string& positionMs) override;
    void setShuffleOn(bool on) override;
    void setRepeatMode(const std::string& mode) override;

    // Playback ----------------------------------------------------------------------------------
    void playVideo(const std::string& path, bool isLocal, const std::string& itemId,
                   const std::string& itemJson, const std::string& mediaSourceJson,
                   bool isTranscoding, std::int64_t startPosMs, std::int32_t videoStreamIndex,
                   std::int32_t audioStreamIndex, std::int32_t subtitleStreamIndex,
                   const std::string& posterUrl) override;
    void playAudio(const std::vector<std::shared_ptr<MediaItem>>& items, bool isLocal,
                   const std::optional<MediaSourceInfo>& mediaSource, std::int32_t startIndex,
                   std::int64_t startPosMs) override;

    // VolumeController --------------------------------------------------------------------------
    void setVolume(std::int64_t volume) override;
    /// Raises libmpv's volume by 5.
    void volumeUp() override;
    /// Lowers libmpv's volume by 5.
    void volumeDown() override;

    struct Engine;

  private:
    using Entry = PlayQueue::Entry;
    struct Event;

    explicit MpvPlayer(Options options);
    void start();
    /// Appends entries to libmpv's playlist and the queue; runs under mutex_.
    bool appendLocked(const std::shared_ptr<MediaItem>& item,
                      std::optional<MediaSourceInfo> source);
    void replaceQueue(const std::vector<std::shared_ptr<MediaItem>>& items,
                      const std::vector<std::optional<MediaSourceInfo>>& sources, MediaType type,
                      std::int32_t startIndex, std::int64_t startPosMs);
    /// Reads libmpv's playlist order back into the queue (after a shuffle); under mutex_.
    void reorderFromEngineLocked();
    void announcePlaylist();
    /// Tells listeners the pause state when it differs from the one they last heard; main queue.
    void announcePause();
    /// Tells listeners the entry they heard load has ended; main queue.
    void announceEnd();
    /// Runs `step` on the main queue while the player lives.
    template <class F>
    void onMain(F step);

    // Events, on the main queue.
    void drainEvents();
    void handle(const Event& event);

    const Options options_;
    PlayerDelegateList delegates_;
    std::shared_ptr<Engine> engine_;

    mutable std::mutex mutex_;
    bool initialized_ = false;
    PlayQueue queue_;
    std::optional<MediaSourceInfo> loadedSource_;
    MediaType mediaType_ = MediaType::Audio;
    bool loaded_ = false;
    bool shutDown_ = false;
    bool repeatAll_ = false;
    bool repeatOne_ = false;
    std::uint64_t queueGeneration_ = 0;
    /// The entry started again after it played to its end (repeat one), until libmpv starts it:
    /// what libmpv does meanwhile (moving on to the next entry) is not the listeners' business.
    std::optional<std::int64_t> replayEntry_;
    /// Where the first play of a new queue's start entry (engine id) begins, in seconds.
    std::optional<std::pair<std::int64_t, double>> pendingStart_;

    // Event state, main queue only.
    std::optional<bool> paused_;
    bool announcedPaused_ = false;    // what listeners last heard
    std::int64_t startedEntry_ = -1;  // engine id of the entry that started last
    bool entryPlaying_ = false;       // listeners heard it load and have not heard it end
    std::optional<double> lastTimeMs_;
    std::optional<double> durationMs_;
    bool timeUpdateDue_ = true;
    std::optional<double> speed_;
    std::optional<double> volume_;
    std::optional<double> subDelay_;
    std::optional<std::pair<double, double>> cacheRange_;
};

}  // namespace vk
