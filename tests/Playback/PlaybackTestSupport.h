// Helpers of the playback tests:
//   - runInNode(): runs JavaScript statements, one program each, in Node.js against stand-ins of
//     the web player objects ("MpvAudioPlayer", "MpvVideoPlayer", navigator.mediaSession,
//     require(['playbackManager'], ...)) and returns the calls each statement made, with their
//     arguments as JavaScript received them.
//   - WebViewRecorder: a web view that keeps the statements it is handed.
//   - FakePlayer: a Player whose answers the test sets.
//   - RecordingClient: an ApiClient that keeps the reports handed to it and sends nothing.
//   - NastyTexts: texts that break naive JavaScript or JSON writers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/Player.h"
#include "VornKit/Playback/PlayerEventDelegate.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"

namespace vk::test {

/// A JavaScript value as the stand-ins received it.
struct JsValue {
    enum class Kind { Undefined, Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Undefined;
    bool boolean = false;
    double number = 0;
    bool negativeZero = false;
    std::string string;
    std::vector<JsValue> items;
};

struct JsCall {
    std::string object;  ///< "MpvAudioPlayer", "navigator.mediaSession", "playbackManager", ...
    std::string method;
    std::vector<JsValue> args;
};

struct JsStatementResult {
    bool ok = false;
    std::string error;  ///< the exception when !ok
    std::vector<JsCall> calls;
};

/// Runs each statement as a program of its own; fails the test when Node.js cannot run.
std::vector<JsStatementResult> runInNode(const std::vector<std::string>& statements);

/// Texts that must arrive unchanged: quotes, backslashes, line breaks, U+2028/U+2029, control
/// characters, NUL followed by a digit, non-ASCII, code-looking text.
std::vector<std::string> nastyTexts();

class WebViewRecorder : public WebViewMessageDelegate {
  public:
    void respondToWebview(const std::string& javaScript) override;
    std::vector<std::string> statements() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> statements_;
};

class FakePlayer : public Player {
  public:
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<MediaItem>> queue;
    std::int64_t index = 0;
    std::shared_ptr<MediaItem> current;
    std::optional<MediaSourceInfo> source;
    std::int64_t position = 0;
    bool playing = true;
    bool media = true;

    bool isInitialized() const override { return true; }
    bool isLocalPlayer() const override { return true; }
    std::any view() const override { return {}; }
    MediaType currentMediaType() const override { return MediaType::Audio; }
    std::shared_ptr<MediaItem> currentMediaItem() const override;
    std::optional<MediaSourceInfo> currentMediaSource() const override;
    void addDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    void removeDelegate(std::shared_ptr<PlayerEventDelegate>) override {}
    bool isPlaying() const override;
    bool hasMedia() const override;
    bool hasMedia(MediaType) const override { return hasMedia(); }
    void enableVideo() override {}
    void disableVideo() override {}
    void execute(const std::string&, const std::any&) override {}
    void playPause() override {}
    void pause() override {}
    void unpause() override {}
    void nextTrack() override {}
    void prevTrack() override {}
    void zoomUnzoom() override {}
    std::vector<std::shared_ptr<MediaItem>> getCurrentQueue() const override;
    void queueItems(const std::string&, bool) override {}
    void removeFromPlaylistAtIndex(std::int32_t) override {}
    void movePlaylistItemFromIndex(std::int32_t, std::int32_t) override {}
    std::shared_ptr<MediaItem> getItemAtPosition(std::int32_t i) const override;
    std::int64_t getCurrentPlaylistIndex() const override;
    void stop(const std::any&) override {}
    void setPosition(std::optional<double>) override {}
    void seekRelative(std::optional<double>) override {}
    std::int64_t getCurrentStreamPosition() const override;
    bool setAspectRatio(const std::string&) override { return false; }
    void setSubtitleStreamIndex(std::optional<std::int64_t>) override {}
    void setAudioStreamIndex(std::optional<std::int64_t>) override {}
    void seek(const std::string&) override {}
    void setShuffleOn(bool) override {}
    void setRepeatMode(const std::string&) override {}
};

/// An item as the web user interface would queue it: a stream URL with a play session id.
std::shared_ptr<MediaItem> makeStreamItem(const std::string& itemId, const std::string& entryId,
                                          const std::string& serverId = "server-1");

struct RecordedReport {
    std::string kind;  ///< "start", "progress" or "stop"
    std::optional<PlaybackProgressInfo> progress;
    std::optional<PlaybackStopInfo> stop;
};

class RecordingClient : public ApiClient {
  public:
    explicit RecordingClient(std::string serverId = "server-1");
    void reportPlaybackStart(const PlaybackProgressInfo& info) override;
    void reportPlaybackProgress(const PlaybackProgressInfo& info) override;
    void reportPlaybackStopped(const PlaybackStopInfo& info) override;
    std::vector<RecordedReport> reports() const;
    /// Reports of one kind ("progress" with `event` when given).
    std::vector<RecordedReport> reports(const std::string& kind,
                                        std::optional<ProgressEvent> event = std::nullopt) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<RecordedReport> reports_;
};

}  // namespace vk::test
