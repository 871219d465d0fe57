// RemoteControls: the player it follows, now playing (published, with the cover loaded and
// cached), the idle output, and the player's events. The remote commands are in
// RemoteControlsCommands.cpp, the notification in RemoteControlsNotification.cpp.
#include "VornKit/Playback/RemoteControls.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/ItemFavoritesManager.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Http/Url.h"
#include "VornKit/Platform/Http/UrlRequest.h"
#include "VornKit/Platform/Http/UrlSession.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Playback/VolumeChangeDelegate.h"

namespace vk {

RemoteFavorites RemoteFavorites::of(std::shared_ptr<ConnectionManager> manager) {
    RemoteFavorites favorites;
    favorites.isItemFavorite = [manager](const std::string& serverId, const std::string& itemId,
                                         std::function<void(bool)> completion) {
        ItemFavoritesManager::isItemFavorite(*manager, serverId, itemId, std::move(completion));
    };
    favorites.setItemFavorite = [manager](const std::string& serverId, const std::string& itemId,
                                          bool isFavorite, std::function<void(bool)> completion) {
        ItemFavoritesManager::setItemFavorite(*manager, serverId, itemId, isFavorite,
                                              std::move(completion));
    };
    return favorites;
}

namespace {

constexpr std::size_t kCoverCacheCount = 15;

/// Whole seconds of a millisecond count: the integer part divided by 1,000, truncated. Counts
/// beyond what 64 bits hold (a container may declare any duration) are clamped first.
double wholeSeconds(double ms) {
    if (!std::isfinite(ms))
        return 0;
    constexpr double kLimit = 9.2e18;  // below 2^63
    return static_cast<double>(static_cast<std::int64_t>(std::clamp(ms, -kLimit, kLimit)) / 1000);
}

std::string lowercased(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::shared_ptr<const Image> imageFromFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    auto image = Image::decode(bytes.str());
    return image ? std::make_shared<const Image>(std::move(*image)) : nullptr;
}

}  // namespace

RemoteControls::RemoteControls(Services services) : services_(std::move(services)) {
    if (!services_.nowPlayingCenter)
        services_.nowPlayingCenter = NowPlayingCenter::make();
    if (!services_.commandCenter)
        services_.commandCenter = RemoteCommandCenter::make();
    if (!services_.audioOutput)
        services_.audioOutput = AudioOutput::sharedInstance();
    imageCache_.setCountLimit(kCoverCacheCount);
}

std::shared_ptr<RemoteControls> RemoteControls::init(Services services) {
    auto controls = std::shared_ptr<RemoteControls>(new RemoteControls(std::move(services)));
    controls->registerRemoteControlEventHandlers();
    return controls;
}

std::shared_ptr<RemoteControls> RemoteControls::initWithPlayer(std::shared_ptr<Player> player,
                                                               Services services) {
    auto controls = init(std::move(services));
    controls->setPlayer(std::move(player));
    return controls;
}

RemoteControls::~RemoteControls() {
    services_.commandCenter->setVolumeHandler(nullptr);
    unregisterRemoteControlEventHandlers();
    uninitAudioUnit();
}

void RemoteControls::setPlayer(std::shared_ptr<Player> player) {
    player_ = player;
    if (!player)
        return;
    player->addDelegate(shared_from_this());
    installVolumeHandler(player);
    if (!player->isLocalPlayer()) {
        initAudioUnit();
        startAudioUnit();
    } else {
        uninitAudioUnit();
    }
}

void RemoteControls::installVolumeHandler(const std::shared_ptr<Player>& player) {
    // The volume the desktop shows is the new player's, unknown until it reports one.
    services_.commandCenter->setCurrentVolume(std::nullopt);
    std::weak_ptr<Player> weak = player;
    const auto percent = [](double volume) {
        return static_cast<std::int64_t>(std::lround(volume * 100.0));
    };
    if (std::dynamic_pointer_cast<VolumeController>(player)) {
        services_.commandCenter->setVolumeHandler([weak, percent](double volume) {
            if (auto controller = std::dynamic_pointer_cast<VolumeController>(weak.lock()))
                controller->setVolume(percent(volume));
        });
    } else if (std::dynamic_pointer_cast<VolumeChangeDelegate>(player)) {
        services_.commandCenter->setVolumeHandler([weak, percent](double volume) {
            if (auto delegate = std::dynamic_pointer_cast<VolumeChangeDelegate>(weak.lock()))
                delegate->onVolumeChanged(percent(volume), 100);
        });
    } else {
        services_.commandCenter->setVolumeHandler(nullptr);
    }
}

void RemoteControls::onVolumeChanged(std::int64_t volume, std::int64_t maximum) {
    if (maximum > 0)
        services_.commandCenter->setCurrentVolume(static_cast<double>(volume) /
                                                  static_cast<double>(maximum));
}

void RemoteControls::setPlaybackContext(std::string context) {
    currentPlaybackContext_ = std::move(context);
}

// ---- publishing ----

void RemoteControls::updateNowPlayingInfo(std::optional<std::string> artist,
                                          std::optional<std::string> title,
                                          std::optional<std::string> album, double durationMs,
                                          double currentTimeMs, std::string coverUrl, bool paused,
                                          std::int64_t queueIndex, std::int64_t queueCount) {
    publish(std::move(artist), std::move(title), std::move(album), durationMs, currentTimeMs,
            std::move(coverUrl), paused, queueIndex, queueCount, std::nullopt);
}

void RemoteControls::publish(std::optional<std::string> artist, std::optional<std::string> title,
                             std::optional<std::string> album, double durationMs,
                             double currentTimeMs, std::string coverUrl, bool paused,
                             std::int64_t queueIndex, std::int64_t queueCount,
                             std::optional<std::string> itemIdentifier) {
    NowPlayingInfo info;
    info.artist = std::move(artist);
    info.title = std::move(title);
    info.albumTitle = std::move(album);
    info.playbackDuration = wholeSeconds(durationMs);
    info.elapsedPlaybackTime = wholeSeconds(currentTimeMs);
    info.playbackRate = paused ? 0.0 : 1.0;
    if (queueIndex >= 0 && queueIndex < queueCount) {
        info.playbackQueueIndex = queueIndex;
        info.playbackQueueCount = queueCount;
    }
    info.itemIdentifier = std::move(itemIdentifier);

    bool load = false;
    {
        std::lock_guard lock(mutex_);
        if (coverUrl != coverImageUrl_) {
            if (auto cached = imageCache_.object(coverUrl)) {
                coverImage_ = cached;
            } else {
                coverImage_.reset();
                load = true;
            }
            coverImageUrl_ = coverUrl;
        }
        info.artwork = coverImage_;
        services_.nowPlayingCenter->setNowPlayingInfo(info);
        services_.nowPlayingCenter->setPlaybackState(paused ? NowPlayingPlaybackState::Paused
                                                            : NowPlayingPlaybackState::Playing);
    }
    if (load) {
        std::weak_ptr<RemoteControls> weak = weak_from_this();
        loadImageAsync(coverUrl, [weak, coverUrl](std::shared_ptr<const Image> image) {
            if (auto self = weak.lock())
                self->coverLoaded(coverUrl, std::move(image));
        });
    }
}

void RemoteControls::coverLoaded(const std::string& url, std::shared_ptr<const Image> image) {
    std::lock_guard lock(mutex_);
    const bool usable = image && image->hasBitmapData();
    if (usable)
        imageCache_.setObject(url, image);
    // A cover that arrives after another item took its place is kept in the cache only: it must
    // not be shown with the other item.
    if (url != coverImageUrl_)
        return;
    if (!usable) {
        coverImage_.reset();
        return;
    }
    coverImage_ = image;
    if (auto info = services_.nowPlayingCenter->nowPlayingInfo()) {
        info->artwork = image;
        services_.nowPlayingCenter->setNowPlayingInfo(std::move(info));
    }
}

void RemoteControls::clearNowPlayingInfo() {
    std::lock_guard lock(mutex_);
    coverImage_.reset();
    coverImageUrl_.clear();
    services_.nowPlayingCenter->setNowPlayingInfo(std::nullopt);
    services_.nowPlayingCenter->setPlaybackState(NowPlayingPlaybackState::Stopped);
}

void RemoteControls::loadImageAsync(const std::string& coverUrl,
                                    std::function<void(std::shared_ptr<const Image>)> completion) {
    DispatchQueue::global()->async([coverUrl, completion = std::move(completion)] {
        if (coverUrl.empty()) {
            completion(nullptr);
            return;
        }
        if (coverUrl.rfind("http://", 0) == 0 || coverUrl.rfind("https://", 0) == 0) {
            auto url = Url::parse(coverUrl);
            if (!url) {
                completion(nullptr);
                return;
            }
            defaultSession()
                ->dataTask(UrlRequest(*url),
                           [completion](std::optional<std::string> data, std::optional<UrlResponse>,
                                        std::optional<UrlError>) {
                               std::shared_ptr<const Image> image;
                               if (data)
                                   if (auto decoded = Image::decode(*data))
                                       image = std::make_shared<const Image>(std::move(*decoded));
                               completion(std::move(image));
                           })
                ->resume();
            return;
        }
        if (coverUrl.rfind("file://", 0) == 0) {
            std::string path = coverUrl;
            for (std::size_t at; (at = path.find("file://")) != std::string::npos;)
                path.erase(at, 7);
            completion(imageFromFile(path));
            return;
        }
        const auto documents = Directories::documents();
        completion(documents ? imageFromFile(documents->string() + coverUrl) : nullptr);
    });
}

bool RemoteControls::isCarPlay() {
    if (services_.audioOutput && services_.audioOutput->currentRouteIsCarAudio())
        return true;
    return lowercased(currentPlaybackContext_) == "carplay";
}

// ---- the idle output ----

void RemoteControls::initAudioUnit() {
    if (audioUnit_)
        return;
    audioUnit_ = services_.audioOutput->createIdleOutput();
}

void RemoteControls::startAudioUnit() {
    if (audioUnit_)
        services_.audioOutput->startIdleOutput();
}

void RemoteControls::stopAudioUnit() {
    if (audioUnit_)
        services_.audioOutput->stopIdleOutput();
}

void RemoteControls::uninitAudioUnit() {
    if (!audioUnit_)
        return;
    services_.audioOutput->stopIdleOutput();
    services_.audioOutput->disposeIdleOutput();
    audioUnit_ = false;
}

// ---- player events ----

void RemoteControls::publishForCurrentItem() {
    if (!currentItem_)
        return;
    const auto& item = *currentItem_;
    publish(item.Artist, item.Title, item.Album, duration_, position_, item.CoverUrl.value_or(""),
            paused_, currentQueueIndex_, currentQueueCount_,
            item.playlistItemId ? item.playlistItemId : item.ItemId);
}

void RemoteControls::fileWillStart(const std::optional<std::string>&,
                                   const std::optional<std::string>&) {
    auto player = this->player();
    currentItem_ = player ? player->currentMediaItem() : nullptr;
    registerRemoteControlEventHandlers();
    registerCarPlayEventHandlers();
    paused_ = false;
    shouldUpdateOnTime_ = true;
    publishForCurrentItem();
    if (!currentItem_)
        return;
    showNotificationForCurrentItem(currentItem_, false);
    if (!services_.commandCenter->isEnabled(RemoteCommand::Like))
        return;
    auto done = likeStateOf(currentItem_);
    if (services_.favorites.isItemFavorite)
        services_.favorites.isItemFavorite(currentItem_->ServerId.value_or(""),
                                           currentItem_->ItemId.value_or(""), std::move(done));
    else
        ItemFavoritesManager::isItemFavorite(currentItem_->ServerId.value_or(""),
                                             currentItem_->ItemId.value_or(""), std::move(done));
}

std::function<void(bool)> RemoteControls::likeStateOf(std::shared_ptr<MediaItem> item) {
    std::weak_ptr<RemoteControls> weak = weak_from_this();
    return [weak, item = std::move(item)](bool favorite) {
        auto apply = [weak, item, favorite] {
            auto self = weak.lock();
            if (self && self->currentItem_ == item)
                self->services_.commandCenter->setLikeActive(favorite);
        };
        auto main = DispatchQueue::main();
        if (main->isCurrent())
            apply();
        else
            main->async(std::move(apply));
    };
}

void RemoteControls::playbackDidPause() {
    paused_ = true;
    publishForCurrentItem();
}

void RemoteControls::playbackDidUnpause() {
    paused_ = false;
    shouldUpdateOnTime_ = true;
}

void RemoteControls::playbackRestarted() {
    shouldUpdateOnTime_ = true;
}

void RemoteControls::onDurationChanged(double durationMs) {
    duration_ = durationMs;
    publishForCurrentItem();
}

void RemoteControls::onTimeUpdate(double positionMs) {
    position_ = positionMs;
    if (shouldUpdateOnTime_) {
        publishForCurrentItem();
        shouldUpdateOnTime_ = false;
    }
}

void RemoteControls::playlistPositionChanged(std::int32_t index) {
    currentQueueIndex_ = index;
    publishForCurrentItem();
    auto player = this->player();
    if (!player || index == INT32_MAX)
        return;
    auto next = player->getItemAtPosition(index + 1);
    if (!next || !next->CoverUrl)
        return;
    const std::string url = *next->CoverUrl;
    {
        std::lock_guard lock(mutex_);
        if (imageCache_.object(url))
            return;
    }
    std::weak_ptr<RemoteControls> weak = weak_from_this();
    loadImageAsync(url, [weak, url](std::shared_ptr<const Image> image) {
        auto self = weak.lock();
        if (!self || !image || !image->hasBitmapData())
            return;
        std::lock_guard lock(self->mutex_);
        self->imageCache_.setObject(url, image);
    });
}

void RemoteControls::onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& queue) {
    currentQueueCount_ = static_cast<std::int64_t>(queue.size());
    publishForCurrentItem();
}

void RemoteControls::onRepeatModeChanged(const std::string& mode) {
    const std::string lower = lowercased(mode);
    services_.commandCenter->setCurrentRepeatType(lower == "repeatone"   ? RemoteRepeatType::One
                                                  : lower == "repeatall" ? RemoteRepeatType::All
                                                                         : RemoteRepeatType::Off);
}

void RemoteControls::shutdown() {
    unregisterRemoteControlEventHandlers();
    clearNowPlayingInfo();
    currentItem_.reset();
    paused_ = false;
    shouldUpdateOnTime_ = true;
    position_ = 0;
    duration_ = 0;
    currentQueueIndex_ = 0;
    currentQueueCount_ = 0;
    clearNowPlayingInfo();
}

}  // namespace vk
