// SimulatedPlayer: a Player that plays nothing but behaves like one. It walks its queue through a
// scripted play-through in real time (or as fast as the main queue runs, with `fast`) and tells its
// listeners what a native player would: for each entry fileWillStart (and playlistPositionChanged
// when the position differs from the one listeners last heard, as MpvPlayer does), fileDidLoad and
// onDurationChanged, onTimeUpdate every `timeUpdateInterval` of playback, and at the end the next
// entry or, after the last, fileDidEnd. In the first entry it pauses once at `pauseAtFraction` of
// its length for `pauseFor`, then resumes. It obeys the Player commands as a real player would
// (pause, unpause, play/pause, next, previous, seeks, stop, repeat, shuffle, queue changes) and
// honours the repeat mode at the end of an entry. For machines and tests without a media engine.
//
// The sequences a host meets follow the same rules as MpvPlayer's: a new queue ends the entry that
// played (listeners move to the new queue's first entry, or hear fileDidEnd when nothing starts);
// an entry starts playing, so after a pause listeners hear playbackDidUnpause once it has loaded;
// an entry that starts again (repeat one, repeat all over one entry) is first ended with
// fileDidEnd, so that every play of it is a play-through of its own.
//
// An entry lasts its item's RunTimeTicks (read from the item's itemJson), else
// `defaultDurationMs`. The media source of an entry is the one given to playAudio for the start
// entry, else one whose Id is the item's ItemId. currentMediaSource() is the source of the entry
// that loaded last: while listeners hear that the position moved on, it still describes the entry
// that was playing (their stop reports need it); it changes just before fileDidLoad.
//
// Thread rule: thread-safe. Playback and listener calls run on the main queue; commands take
// effect there, after the call returns (a getter called at once still sees the old state).
// Ownership: held in std::shared_ptr (make()); listeners are kept weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/PlayQueue.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/PlayerDelegateList.h"

namespace vk {

/// A player without a media engine that acts out playback in time; thread-safe, shared.
class VK_EXPORT SimulatedPlayer : public Player,
                                  public Playback,
                                  public std::enable_shared_from_this<SimulatedPlayer> {
  public:
    /// The timing of the simulated play-through.
    struct Options {
        /// Skip every wait: the play-through runs as fast as the main queue serves it.
        bool fast = false;
        /// Playback speed: every wait is divided by it (positions still advance by
        /// `timeUpdateInterval` per update).
        double speed = 1.0;
        /// How often the position is reported, and the length of an entry whose source gives none.
        /// @{
        std::chrono::milliseconds timeUpdateInterval{1'000};
        std::int64_t defaultDurationMs = 30'000;
        /// @}
        /// Where the scripted pause happens in the first entry (absent: no pause).
        std::optional<double> pauseAtFraction = 1.0 / 3.0;
        /// How long the scripted pause lasts.
        std::chrono::milliseconds pauseFor{2'000};
    };

    /// A player with an empty queue; nothing plays until playAudio() or playVideo().
    static std::shared_ptr<SimulatedPlayer> make(Options options);
    /// A player in real time with the default Options.
    static std::shared_ptr<SimulatedPlayer> make() { return make(Options()); }
    SimulatedPlayer(const SimulatedPlayer&) = delete;
    SimulatedPlayer& operator=(const SimulatedPlayer&) = delete;

    /// True once the last entry has ended, or after stop().
    bool finished() const;
    /// How long entry `index` lasts, milliseconds (0 outside the queue).
    std::int64_t durationOf(std::int32_t index) const;

    // Player ------------------------------------------------------------------------------------
    bool isInitialized() const override { return true; }
    bool isLocalPlayer() const override { return true; }
    std::any view() const override { return {}; }
    MediaType currentMediaType() const override;
    std::shared_ptr<MediaItem> currentMediaItem() const override;
    std::optional<MediaSourceInfo> currentMediaSource() const override;
    void addDelegate(std::shared_ptr<PlayerEventDelegate> delegate) override;
    void removeDelegate(std::shared_ptr<PlayerEventDelegate> delegate) override;
    bool isPlaying() const override;
    bool hasMedia() const override;
    bool hasMedia(MediaType type) const override;
    void enableVideo() override {}
    void disableVideo() override {}
    /// Understands "volume" with an integer or double argument (0-100).
    void execute(const std::string& command, const std::any& argument) override;
    void playPause() override;
    void pause() override;
    void unpause() override;
    void nextTrack() override;
    /// Back to the start of the entry when more than 3 s have played, else the previous entry.
    void prevTrack() override;
    void zoomUnzoom() override {}
    std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const override;
    void queueItems(const std::string& itemsJson, bool next) override;
    void removeFromPlaylistAtIndex(std::int32_t index) override;
    void movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) override;
    std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t index) const override;
    std::int64_t getCurrentPlaylistIndex() const override;
    /// Stops playback; listeners get shutdown.
    void stop(const std::any& argument) override;
    void setPosition(std::optional<double> positionMs) override;
    void seekRelative(std::optional<double> offsetMs) override;
    std::int64_t getCurrentStreamPosition() const override;
    bool setAspectRatio(const std::string&) override { return false; }
    void setSubtitleStreamIndex(std::optional<std::int64_t>) override {}
    void setAudioStreamIndex(std::optional<std::int64_t>) override {}
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

  private:
    using Entry = PlayQueue::Entry;

    explicit SimulatedPlayer(Options options);
    Entry makeEntry(std::shared_ptr<MediaItem> item) const;
    /// Runs `step` on the main queue with this player alive.
    template <class F>
    void onMain(F step);
    /// The real time `playback` takes.
    std::chrono::milliseconds wait(std::chrono::milliseconds playback) const;
    void schedule(std::chrono::milliseconds delay, void (SimulatedPlayer::*step)(std::uint64_t));

    // Steps, on the main queue.
    void replaceQueue(std::vector<Entry> entries, MediaType type, std::int32_t startIndex,
                      std::int64_t startPosMs);
    void startEntry(std::int64_t index, std::int64_t positionMs);
    void tick(std::uint64_t generation);
    void endScriptedPause(std::uint64_t generation);
    void endOfEntry();
    void finish(bool shutdown);
    void setPaused(bool paused);
    void seekTo(double positionMs);
    void setVolume(double volume);

    const Options options_;
    PlayerDelegateList delegates_;

    mutable std::mutex mutex_;
    PlayQueue queue_;
    std::optional<MediaSourceInfo> loadedSource_;
    std::int64_t positionMs_ = 0;
    MediaType mediaType_ = MediaType::Audio;
    bool loaded_ = false;
    bool paused_ = false;
    bool announcedPaused_ = false;            // what listeners last heard
    std::shared_ptr<MediaItem> playingItem_;  // the item of the entry that started last
    bool finished_ = false;
    bool scriptedPauseDone_ = false;
    bool shuffle_ = false;
    RepeatMode repeatMode_ = RepeatMode::RepeatNone;
    double volume_ = 100;
    std::uint64_t generation_ = 0;  // grows whenever the running tick chain must end
};

}  // namespace vk
