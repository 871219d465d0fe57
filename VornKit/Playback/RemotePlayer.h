// RemotePlayer: the Player the host uses while the web user interface's own player plays (it is not
// a local player). It lets the now-playing publisher drive that player: transport commands become
// JavaScript statements for the web view, and, while its volume observer runs, every change of
// the device's output volume (and once the current volume) becomes a volume statement:
//
//   if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent('<cmd>', null);
//       playPause: "playPause", pause: "pause", unpause: "play", nextTrack: "nextTrack",
//       prevTrack: "previousTrack"
//   require(['playbackManager'], function(playbackManager){playbackManager.setVolume(<n>);});
//
// The rest of Player answers with fixed values and does nothing: an empty queue, index 0,
// position 0, playing, no media, no item at any position, no aspect ratio.
//
// Play requests: the web user interface starts its own playback, so RemotePlayer is no Playback
// (a host cannot hand it one through that interface). It still answers the two play requests,
// playVideo() and playAudio(), for hosts that hold it as itself: they play nothing, send nothing
// and change nothing, and say so in the log (category "RemotePlayer").
//
// RemotePlayerControl: a Player whose device-volume observation can be switched.
//
// Thread rule: thread-safe. Statements are handed to the web view on the calling thread (volume
// statements: the main queue). Ownership: held in std::shared_ptr (the volume observer refers to it
// weakly); it keeps the web view delegate strongly and its observer until it goes away.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Audio/AudioSession.h"
#include "VornKit/Playback/DeviceVolumeObserver.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/VolumeChangeDelegate.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"

namespace vk {

/// A Player whose observation of the device's output volume can be switched on and off.
class VK_EXPORT RemotePlayerControl : public Player {
  public:
    /// Starts passing the device's volume changes on to the player.
    virtual void startVolumeObserver() = 0;
    /// Stops passing volume changes on.
    virtual void stopVolumeObserver() = 0;
};

/// The stand-in for the web user interface's player; shared (std::shared_ptr), owned by the host.
class VK_EXPORT RemotePlayer : public RemotePlayerControl,
                               public VolumeChangeDelegate,
                               public std::enable_shared_from_this<RemotePlayer> {
  public:
    /// `webViewDelegate` may be null (then nothing is sent). The volume observer watches
    /// `audioSession` (the shared session when null).
    explicit RemotePlayer(std::shared_ptr<WebViewMessageDelegate> webViewDelegate,
                          std::shared_ptr<AudioSession> audioSession = nullptr);
    ~RemotePlayer() override;

    // Read-write state -------------------------------------------------------------------------
    /// True until setInitialized() says otherwise.
    bool isInitialized() const override;
    /// Sets what isInitialized() answers.
    void setInitialized(bool value);
    bool isLocalPlayer() const override;
    /// Sets what isLocalPlayer() answers (false at first).
    void setLocalPlayer(bool value);
    std::any view() const override;
    /// Sets what view() answers (empty at first).
    void setView(std::any view);
    /// What setCurrentMediaType() set (Video at first).
    MediaType currentMediaType() const override;
    /// Sets what currentMediaType() answers.
    void setCurrentMediaType(MediaType type);
    /// What setCurrentMediaItem() set (null at first).
    std::shared_ptr<MediaItem> currentMediaItem() const override;
    /// Sets what currentMediaItem() answers; the item is shared.
    void setCurrentMediaItem(std::shared_ptr<MediaItem> item);
    /// What setCurrentMediaSource() set (absent at first).
    std::optional<MediaSourceInfo> currentMediaSource() const override;
    /// Sets what currentMediaSource() answers.
    void setCurrentMediaSource(std::optional<MediaSourceInfo> source);
    /// The observer made by the first startVolumeObserver(), or null.
    std::shared_ptr<DeviceVolumeObserver> volumeObserver() const;

    // RemotePlayerControl ----------------------------------------------------------------------
    /// Creates the observer on first use (this player as its delegate) and starts it.
    void startVolumeObserver() override;
    /// Stops the observer if it runs; it is kept for a later start.
    void stopVolumeObserver() override;

    // VolumeChangeDelegate ---------------------------------------------------------------------
    /// Sends `volume` as it is to the web user interface's player.
    void onVolumeChanged(std::int64_t volume, std::int64_t maximum) override;

    // Transport (statements) -------------------------------------------------------------------
    /// Sends "playPause" to the web user interface's player.
    void playPause() override;
    /// Sends "pause" to the web user interface's player.
    void pause() override;
    /// Sends "play" to the web user interface's player.
    void unpause() override;
    /// Sends "nextTrack" to the web user interface's player.
    void nextTrack() override;
    /// Sends "previousTrack" to the web user interface's player.
    void prevTrack() override;

    // Fixed answers, no effect -----------------------------------------------------------------
    void addDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    /// Does nothing: the web user interface reports its own events.
    void removeDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    /// Always true: the web user interface's state is not tracked here.
    bool isPlaying() const override { return true; }
    /// Always false.
    bool hasMedia() const override { return false; }
    /// Always false.
    bool hasMedia(MediaType) const override { return false; }
    /// Does nothing.
    void enableVideo() override {}
    /// Does nothing.
    void disableVideo() override {}
    void execute(const std::string&, const std::any&) override {}
    /// Does nothing.
    void zoomUnzoom() override {}
    /// Always empty: the queue lives in the web user interface.
    std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const override { return {}; }
    void queueItems(const std::string&, bool) override {}
    /// Does nothing.
    void removeFromPlaylistAtIndex(std::int32_t) override {}
    void movePlaylistItemFromIndex(std::int32_t, std::int32_t) override {}
    /// Always null.
    std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t) const override { return nullptr; }
    /// Always 0.
    std::int64_t getCurrentPlaylistIndex() const override { return 0; }
    void stop(const std::any&) override {}
    void setPosition(std::optional<double>) override {}
    void seekRelative(std::optional<double>) override {}
    std::int64_t getCurrentStreamPosition() const override { return 0; }
    /// Always refused.
    bool setAspectRatio(const std::string&) override { return false; }
    /// Does nothing.
    void setSubtitleStreamIndex(std::optional<std::int64_t>) override {}
    /// Does nothing.
    void setAudioStreamIndex(std::optional<std::int64_t>) override {}
    void seek(const std::string&) override {}
    /// Does nothing.
    void setShuffleOn(bool) override {}
    void setRepeatMode(const std::string&) override {}

    // Play requests (not a Playback: see the file comment) --------------------------------------
    /// Plays nothing: logs "playVideo ignored: the web user interface plays by itself".
    void playVideo(const std::string& path, bool isLocal, const std::string& itemId,
                   const std::string& itemJson, const std::string& mediaSourceJson,
                   bool isTranscoding, std::int64_t startPosMs, std::int32_t videoStreamIndex,
                   std::int32_t audioStreamIndex, std::int32_t subtitleStreamIndex,
                   const std::string& posterUrl);
    /// Plays nothing: logs "playAudio ignored: the web user interface plays by itself".
    void playAudio(const std::vector<std::shared_ptr<MediaItem>>& items, bool isLocal,
                   const std::optional<MediaSourceInfo>& mediaSource, std::int32_t startIndex,
                   std::int64_t startPosMs);

  private:
    void remoteEvent(const char* command) const;
    void send(const std::string& statement) const;

    const std::shared_ptr<WebViewMessageDelegate> webViewDelegate_;
    const std::shared_ptr<AudioSession> audioSession_;
    mutable std::mutex mutex_;
    bool isInitialized_ = true;
    bool isLocalPlayer_ = false;
    std::any view_;
    MediaType currentMediaType_ = MediaType::Video;
    std::shared_ptr<MediaItem> currentMediaItem_;
    std::optional<MediaSourceInfo> currentMediaSource_;
    std::shared_ptr<DeviceVolumeObserver> volumeObserver_;
};

}  // namespace vk
