#include "PlaybackController.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "VornKit/Platform/Media/FreedesktopNotificationCenter.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace desktop {

/// Keeps what the native player last said, for state().
class PlaybackController::Tracker : public vk::PlayerEventDelegate {
  public:
    void onTimeUpdate(double positionMs) override { positionMs_ = positionMs; }
    void onDurationChanged(double durationMs) override { durationMs_ = durationMs; }
    void fileWillStart(const std::optional<std::string>&,
                       const std::optional<std::string>&) override {
        active_ = true;
        positionMs_ = 0;
        durationMs_ = 0;
    }
    void fileDidEnd() override { active_ = false; }
    void shutdown() override {
        active_ = false;
        auto waiting = std::move(stopped_);
        stopped_.clear();
        for (auto& done : waiting)
            done();
    }
    void playbackDidPause() override { paused_ = true; }
    void playbackDidUnpause() override { paused_ = false; }
    void onVolumeChanged(std::int64_t volume, std::int64_t) override { volume_ = volume; }

    bool active_ = false;
    bool paused_ = false;
    double positionMs_ = 0;
    double durationMs_ = 0;
    std::int64_t volume_ = 100;
    std::vector<std::function<void()>> stopped_;  ///< waiting for the next shutdown
};

std::shared_ptr<PlaybackController> PlaybackController::create(
    std::shared_ptr<vk::WebViewMessageDelegate> webView, Options options, std::string& error) {
    std::shared_ptr<PlaybackController> self(new PlaybackController);
    self->webView_ = std::move(webView);

    vk::MpvPlayer::Options mpv;
    mpv.audioOutput = options.audioOutput;
    mpv.videoOutput = "null";
    mpv.extraOptions = options.mpvOptions;
    self->mpv_ = vk::MpvPlayer::create(mpv);
    if (!self->mpv_->isInitialized()) {
        error = "libmpv could not start (see the log)";
        return nullptr;
    }
    self->remote_ = std::make_shared<vk::RemotePlayer>(self->webView_);
    self->remote_->setCurrentMediaType(vk::MediaType::Audio);

    // The bridge: statements for the page, reports for the server (audio only).
    self->handler_ = vk::PlayerEventHandler::create(self->webView_, {});
    self->handler_->setCurrentMediaType(vk::MediaType::Audio);
    self->handler_->setPlayer(self->mpv_);
    self->mpv_->addDelegate(self->handler_);
    self->tracker_ = std::make_shared<Tracker>();
    self->mpv_->addDelegate(self->tracker_);

    // The desktop: MPRIS and notifications when there is a session bus.
    vk::RemoteControls::Services services;
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        vk::MprisService::Options published;
        published.busNameSuffix = options.busNameSuffix;
        published.identity = options.identity;
        if (!options.desktopEntry.empty())
            published.desktopEntry = options.desktopEntry;
        self->mpris_ = vk::MprisService::start(published);
    }
    if (self->mpris_) {
        services.nowPlayingCenter = self->mpris_->nowPlayingCenter();
        services.commandCenter = self->mpris_->commandCenter();
        services.notificationCenter = vk::FreedesktopNotificationCenter::make(
            options.identity, options.desktopEntry.empty()
                                  ? std::nullopt
                                  : std::optional<std::string>(options.desktopEntry));
    } else {
        services.nowPlayingCenter = vk::NowPlayingCenter::make();
        services.commandCenter = vk::RemoteCommandCenter::make();
    }
    self->controls_ = vk::RemoteControls::initWithPlayer(self->mpv_, services);
    return self;
}

PlaybackController::~PlaybackController() {
    mpv_->removeDelegate(handler_);
    mpv_->removeDelegate(tracker_);
}

void PlaybackController::usePagePlayer(bool page) {
    if (page == pagePlays_)
        return;
    pagePlays_ = page;
    if (page) {
        // The native player's last events (the stop of what it played) must not clear what the
        // desktop now shows for the page's player.
        mpv_->removeDelegate(controls_);
        if (mpv_->hasMedia())
            mpv_->stop({});
        controls_->setPlayer(remote_);
        remote_->startVolumeObserver();
    } else {
        remote_->stopVolumeObserver();
        controls_->shutdown();
        controls_->setPlayer(mpv_);
        pageItem_.reset();
    }
}

bool PlaybackController::playAudio(const std::vector<std::shared_ptr<vk::MediaItem>>& items,
                                   std::int32_t startIndex, std::int64_t startPositionMs,
                                   const std::optional<vk::MediaSourceInfo>& source,
                                   std::string& error) {
    if (items.empty()) {
        error = "the queue is empty";
        return false;
    }
    if (startIndex < 0 || static_cast<std::size_t>(startIndex) >= items.size()) {
        error = "startIndex lies outside the queue";
        return false;
    }
    usePagePlayer(false);
    handler_->setCurrentMediaType(vk::MediaType::Audio);
    mpv_->playAudio(items, false, source, startIndex, std::max<std::int64_t>(0, startPositionMs));
    return true;
}

bool PlaybackController::command(const std::string& name, std::optional<double> positionMs,
                                 std::string& error) {
    if (pagePlays_) {
        error = "the page's own player plays";
        return false;
    }
    if (name == "playPause")
        mpv_->playPause();
    else if (name == "pause")
        mpv_->pause();
    else if (name == "unpause")
        mpv_->unpause();
    else if (name == "nextTrack")
        mpv_->nextTrack();
    else if (name == "prevTrack")
        mpv_->prevTrack();
    else if (name == "stop")
        mpv_->stop({});
    else if (name == "seek") {
        if (!positionMs || !std::isfinite(*positionMs) || *positionMs < 0) {
            error = "seek needs a positionMs of 0 or more";
            return false;
        }
        mpv_->setPosition(*positionMs);
    } else {
        error = "no command " + name;
        return false;
    }
    return true;
}

bool PlaybackController::setVolume(std::int64_t volume, std::string& error) {
    if (volume < 0 || volume > 100) {
        error = "the volume runs from 0 to 100";
        return false;
    }
    mpv_->setVolume(volume);
    return true;
}

bool PlaybackController::pagePlayerChanged(const std::string& state,
                                           std::shared_ptr<vk::MediaItem> item, double positionMs,
                                           double durationMs, std::string& error) {
    if (state != "loading" && state != "playing" && state != "paused" && state != "stopped") {
        error = "the page player's state is loading, playing, paused or stopped";
        return false;
    }
    if (state == "stopped") {
        usePagePlayer(false);
        return true;
    }
    usePagePlayer(true);
    pagePositionMs_ = std::isfinite(positionMs) ? positionMs : 0;
    pageDurationMs_ = std::isfinite(durationMs) ? durationMs : 0;
    const bool newItem = item && (!pageItem_ || pageItem_->ItemId != item->ItemId ||
                                  pageItem_->playlistItemId != item->playlistItemId);
    if (newItem) {
        pageItem_ = item;
        remote_->setCurrentMediaItem(item);
        controls_->fileWillStart(item->Path, item->playlistItemId);
    }
    if (pageDurationMs_ > 0)
        controls_->onDurationChanged(pageDurationMs_);
    if (state == "paused") {
        pagePaused_ = true;
        controls_->playbackDidPause();
    } else {
        if (pagePaused_)
            controls_->playbackDidUnpause();
        pagePaused_ = false;
        controls_->onTimeUpdate(pagePositionMs_);
    }
    return true;
}

PlaybackController::State PlaybackController::state() const {
    State out;
    out.volume = tracker_->volume_;
    if (pagePlays_) {
        out.player = "page";
        out.playing = !pagePaused_;
        out.paused = pagePaused_;
        out.positionMs = static_cast<std::int64_t>(pagePositionMs_);
        out.durationMs = static_cast<std::int64_t>(pageDurationMs_);
        if (pageItem_) {
            out.itemId = pageItem_->ItemId;
            out.title = pageItem_->Title;
        }
        return out;
    }
    if (!tracker_->active_ || !mpv_->hasMedia()) {
        out.player = "none";
        return out;
    }
    out.player = "native";
    out.paused = tracker_->paused_;
    out.playing = !tracker_->paused_;
    out.positionMs = mpv_->getCurrentStreamPosition();
    out.durationMs = static_cast<std::int64_t>(tracker_->durationMs_);
    out.index = mpv_->getCurrentPlaylistIndex();
    out.queueLength = mpv_->getCurrentQueue().size();
    if (auto item = mpv_->currentMediaItem()) {
        out.itemId = item->ItemId;
        out.title = item->Title;
    }
    return out;
}

bool PlaybackController::isActive() const {
    return pagePlays_ || (tracker_->active_ && mpv_->hasMedia());
}

void PlaybackController::stop(std::function<void()> stopped) {
    usePagePlayer(false);
    if (!tracker_->active_ || !mpv_->hasMedia()) {
        if (stopped)
            vk::DispatchQueue::main()->async(std::move(stopped));
        return;
    }
    if (stopped)
        tracker_->stopped_.push_back(std::move(stopped));
    mpv_->stop({});
}

}  // namespace desktop
