#include "VornKit/Playback/RemotePlayer.h"

#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Playback/JavaScriptText.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("RemotePlayer");
    return log;
}

}  // namespace

RemotePlayer::RemotePlayer(std::shared_ptr<WebViewMessageDelegate> webViewDelegate,
                           std::shared_ptr<AudioSession> audioSession)
    : webViewDelegate_(std::move(webViewDelegate)), audioSession_(std::move(audioSession)) {}

RemotePlayer::~RemotePlayer() {
    if (volumeObserver_)
        volumeObserver_->stop();
}

bool RemotePlayer::isInitialized() const {
    std::lock_guard lock(mutex_);
    return isInitialized_;
}

void RemotePlayer::setInitialized(bool value) {
    std::lock_guard lock(mutex_);
    isInitialized_ = value;
}

bool RemotePlayer::isLocalPlayer() const {
    std::lock_guard lock(mutex_);
    return isLocalPlayer_;
}

void RemotePlayer::setLocalPlayer(bool value) {
    std::lock_guard lock(mutex_);
    isLocalPlayer_ = value;
}

std::any RemotePlayer::view() const {
    std::lock_guard lock(mutex_);
    return view_;
}

void RemotePlayer::setView(std::any view) {
    std::lock_guard lock(mutex_);
    view_ = std::move(view);
}

MediaType RemotePlayer::currentMediaType() const {
    std::lock_guard lock(mutex_);
    return currentMediaType_;
}

void RemotePlayer::setCurrentMediaType(MediaType type) {
    std::lock_guard lock(mutex_);
    currentMediaType_ = type;
}

std::shared_ptr<MediaItem> RemotePlayer::currentMediaItem() const {
    std::lock_guard lock(mutex_);
    return currentMediaItem_;
}

void RemotePlayer::setCurrentMediaItem(std::shared_ptr<MediaItem> item) {
    std::lock_guard lock(mutex_);
    currentMediaItem_ = std::move(item);
}

std::optional<MediaSourceInfo> RemotePlayer::currentMediaSource() const {
    std::lock_guard lock(mutex_);
    return currentMediaSource_;
}

void RemotePlayer::setCurrentMediaSource(std::optional<MediaSourceInfo> source) {
    std::lock_guard lock(mutex_);
    currentMediaSource_ = std::move(source);
}

std::shared_ptr<DeviceVolumeObserver> RemotePlayer::volumeObserver() const {
    std::lock_guard lock(mutex_);
    return volumeObserver_;
}

void RemotePlayer::startVolumeObserver() {
    std::shared_ptr<DeviceVolumeObserver> observer;
    {
        std::lock_guard lock(mutex_);
        if (!volumeObserver_) {
            std::weak_ptr<VolumeChangeDelegate> self = weak_from_this();
            volumeObserver_ = std::make_shared<DeviceVolumeObserver>(self, audioSession_);
        }
        observer = volumeObserver_;
    }
    observer->start();
}

void RemotePlayer::stopVolumeObserver() {
    auto observer = volumeObserver();
    if (observer && observer->observingVolume())
        observer->stop();
}

void RemotePlayer::onVolumeChanged(std::int64_t volume, std::int64_t /*maximum*/) {
    send("require(['playbackManager'], function(playbackManager){playbackManager.setVolume(" +
         javaScriptInteger(volume) + ");});");
}

void RemotePlayer::playPause() {
    remoteEvent("playPause");
}

void RemotePlayer::pause() {
    remoteEvent("pause");
}

void RemotePlayer::unpause() {
    remoteEvent("play");
}

void RemotePlayer::nextTrack() {
    remoteEvent("nextTrack");
}

void RemotePlayer::prevTrack() {
    remoteEvent("previousTrack");
}

void RemotePlayer::playVideo(const std::string& /*path*/, bool /*isLocal*/,
                             const std::string& /*itemId*/, const std::string& /*itemJson*/,
                             const std::string& /*mediaSourceJson*/, bool /*isTranscoding*/,
                             std::int64_t /*startPosMs*/, std::int32_t /*videoStreamIndex*/,
                             std::int32_t /*audioStreamIndex*/,
                             std::int32_t /*subtitleStreamIndex*/,
                             const std::string& /*posterUrl*/) {
    logger().log("playVideo ignored: the web user interface plays by itself");
}

void RemotePlayer::playAudio(const std::vector<std::shared_ptr<MediaItem>>& /*items*/,
                             bool /*isLocal*/,
                             const std::optional<MediaSourceInfo>& /*mediaSource*/,
                             std::int32_t /*startIndex*/, std::int64_t /*startPosMs*/) {
    logger().log("playAudio ignored: the web user interface plays by itself");
}

void RemotePlayer::remoteEvent(const char* command) const {
    send(std::string("if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent('") + command +
         "', null);");
}

void RemotePlayer::send(const std::string& statement) const {
    if (webViewDelegate_)
        webViewDelegate_->respondToWebview(statement);
}

}  // namespace vk
