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
// RemotePlayerControl: a Player whose device-volume observation can be switched.
//
// Thread rule: thread-safe. Statements are handed to the web view on the calling thread (volume
// statements: the main queue). Ownership: held in std::shared_ptr (the volume observer refers to it
// weakly); it keeps the web view delegate strongly and its observer until it goes away.
#pragma once

#include <any>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/AudioSession.h"
#include "VornKit/Playback/DeviceVolumeObserver.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/VolumeChangeDelegate.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"

namespace vk {

class VK_EXPORT RemotePlayerControl : public Player {
  public:
    virtual void startVolumeObserver() = 0;
    virtual void stopVolumeObserver() = 0;
};

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
    bool isInitialized() const override;
    void setInitialized(bool value);
    bool isLocalPlayer() const override;
    void setLocalPlayer(bool value);
    std::any view() const override;
    void setView(std::any view);
    MediaType currentMediaType() const override;
    void setCurrentMediaType(MediaType type);
    std::shared_ptr<MediaItem> currentMediaItem() const override;
    void setCurrentMediaItem(std::shared_ptr<MediaItem> item);
    std::optional<MediaSourceInfo> currentMediaSource() const override;
    void setCurrentMediaSource(std::optional<MediaSourceInfo> source);
    /// The observer made by the first startVolumeObserver(), or null.
    std::shared_ptr<DeviceVolumeObserver> volumeObserver() const;

    // RemotePlayerControl ----------------------------------------------------------------------
    /// Creates the observer on first use (this player as its delegate) and starts it.
    void startVolumeObserver() override;
    /// Stops the observer if it runs; it is kept for a later start.
    void stopVolumeObserver() override;

    // VolumeChangeDelegate ---------------------------------------------------------------------
    void onVolumeChanged(std::int64_t volume, std::int64_t maximum) override;

    // Transport (statements) -------------------------------------------------------------------
    void playPause() override;
    void pause() override;
    void unpause() override;
    void nextTrack() override;
    void prevTrack() override;

    // Fixed answers, no effect -----------------------------------------------------------------
    void addDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    void removeDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    bool isPlaying() const override { return true; }
    bool hasMedia() const override { return false; }
    bool hasMedia(MediaType) const override { return false; }
    void enableVideo() override {}
    void disableVideo() override {}
    void execute(const std::string&, const std::any&) override {}
    void zoomUnzoom() override {}
    std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const override { return {}; }
    void queueItems(const std::string&, bool) override {}
    void removeFromPlaylistAtIndex(std::int32_t) override {}
    void movePlaylistItemFromIndex(std::int32_t, std::int32_t) override {}
    std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t) const override { return nullptr; }
    std::int64_t getCurrentPlaylistIndex() const override { return 0; }
    void stop(const std::any&) override {}
    void setPosition(std::optional<double>) override {}
    void seekRelative(std::optional<double>) override {}
    std::int64_t getCurrentStreamPosition() const override { return 0; }
    bool setAspectRatio(const std::string&) override { return false; }
    void setSubtitleStreamIndex(std::optional<std::int64_t>) override {}
    void setAudioStreamIndex(std::optional<std::int64_t>) override {}
    void seek(const std::string&) override {}
    void setShuffleOn(bool) override {}
    void setRepeatMode(const std::string&) override {}
    // (RemotePlayer is no Playback: it takes no play requests.)

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
