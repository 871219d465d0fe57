#include "VornKit/Playback/PlayerEventHandler.h"

#include <cmath>
#include <limits>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Platform/Http/Url.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Playback/JavaScriptText.h"
#include "VornKit/Settings/AppSettings.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("PlayerEventHandler");
    return log;
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

/// A position in milliseconds as an integer: truncated toward zero, NaN as 0, out-of-range
/// values held at the ends of the range.
std::int64_t truncatedMs(double value) {
    if (std::isnan(value))
        return 0;
    constexpr double kLimit = 9.2e18;
    if (value >= kLimit)
        return std::numeric_limits<std::int64_t>::max();
    if (value <= -kLimit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

/// Milliseconds as ticks of 100 ns, held at the ends of the range.
std::int64_t ticksFromMs(std::int64_t ms) {
    constexpr std::int64_t kTicksPerMs = 10'000;
    if (ms > std::numeric_limits<std::int64_t>::max() / kTicksPerMs)
        return std::numeric_limits<std::int64_t>::max();
    if (ms < std::numeric_limits<std::int64_t>::min() / kTicksPerMs)
        return std::numeric_limits<std::int64_t>::min();
    return ms * kTicksPerMs;
}

std::vector<QueueItem> nowPlayingQueue(const std::vector<std::shared_ptr<MediaItem>>& queue) {
    std::vector<QueueItem> items;
    items.reserve(queue.size());
    for (std::size_t i = 0; i < queue.size(); ++i) {
        std::string id = queue[i] && queue[i]->ItemId ? *queue[i]->ItemId : std::string();
        items.emplace_back(std::move(id), "playlistItem" + std::to_string(i));
    }
    return items;
}

bool fitsInt32(std::int64_t value) {
    return value >= std::numeric_limits<std::int32_t>::min() &&
           value <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

/// What every report needs: the player, its current item with the item's source and play session,
/// the item's server and the queue; `info` is filled in for progress reports.
struct PlayerEventHandler::Report {
    std::shared_ptr<Player> player;
    std::shared_ptr<MediaItem> item;
    std::string sourceId;
    std::string sessionId;
    std::string serverId;
    std::vector<std::shared_ptr<MediaItem>> queue;
    PlaybackProgressInfo info;
};

std::shared_ptr<PlayerEventHandler> PlayerEventHandler::create(
    std::weak_ptr<WebViewMessageDelegate> messageDelegate,
    std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate) {
    return create(std::move(messageDelegate), std::move(videoPresenterDelegate),
                  [](const std::string& serverId) {
                      return ConnectionManager::sharedInstance()->getApiClient(serverId);
                  });
}

std::shared_ptr<PlayerEventHandler> PlayerEventHandler::create(
    std::weak_ptr<WebViewMessageDelegate> messageDelegate,
    std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate,
    std::shared_ptr<ConnectionManager> connectionManager) {
    return create(std::move(messageDelegate), std::move(videoPresenterDelegate),
                  [manager = std::move(connectionManager)](const std::string& serverId) {
                      return manager ? manager->getApiClient(serverId) : nullptr;
                  });
}

std::shared_ptr<PlayerEventHandler> PlayerEventHandler::create(
    std::weak_ptr<WebViewMessageDelegate> messageDelegate,
    std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate, ClientLookup clientLookup) {
    std::shared_ptr<PlayerEventHandler> handler(new PlayerEventHandler(
        std::move(messageDelegate), std::move(videoPresenterDelegate), std::move(clientLookup)));
    std::weak_ptr<PlayerEventHandler> weak = handler;
    handler->becomeActiveObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Notifications::kApplicationDidBecomeActive), nullptr, DispatchQueue::main(),
        [weak](const Notification&) {
            if (auto self = weak.lock())
                self->handleAppDidBecomeActive();
        });
    return handler;
}

PlayerEventHandler::PlayerEventHandler(std::weak_ptr<WebViewMessageDelegate> messageDelegate,
                                       std::weak_ptr<VideoPresenterDelegate> videoPresenterDelegate,
                                       ClientLookup clientLookup)
    : messageDelegate_(std::move(messageDelegate)),
      videoPresenterDelegate_(std::move(videoPresenterDelegate)),
      clientLookup_(std::move(clientLookup)) {}

PlayerEventHandler::~PlayerEventHandler() {
    NotificationCenter::defaultCenter().removeObserver(becomeActiveObserver_);
    if (progressTimer_)
        progressTimer_->invalidate();
}

// State ---------------------------------------------------------------------------------------

std::shared_ptr<Player> PlayerEventHandler::player() const {
    std::lock_guard lock(mutex_);
    return player_;
}

MediaType PlayerEventHandler::currentMediaType() const {
    std::lock_guard lock(mutex_);
    return currentMediaType_;
}

void PlayerEventHandler::setCurrentMediaType(MediaType type) {
    std::lock_guard lock(mutex_);
    currentMediaType_ = type;
    currentPlayer_ =
        type == MediaType::Audio ? UIPlayerClient::audioClient : UIPlayerClient::videoClient;
}

UIPlayerClient PlayerEventHandler::currentPlayer() const {
    std::lock_guard lock(mutex_);
    return currentPlayer_;
}

std::int32_t PlayerEventHandler::currentPlaylistPos() const {
    std::lock_guard lock(mutex_);
    return currentPlaylistPos_;
}

std::shared_ptr<MediaItem> PlayerEventHandler::currentItem() const {
    std::lock_guard lock(mutex_);
    return currentItem_;
}

std::int64_t PlayerEventHandler::currentPositionMs() const {
    std::lock_guard lock(mutex_);
    return currentPositionMs_;
}

RepeatMode PlayerEventHandler::currentRepeatMode() const {
    std::lock_guard lock(mutex_);
    return currentRepeatMode_;
}

bool PlayerEventHandler::progressTimerActive() const {
    std::lock_guard lock(mutex_);
    return progressTimer_ != nullptr || progressTimerScheduled_;
}

void PlayerEventHandler::setProgressInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mutex_);
    progressInterval_ = interval;
}

std::optional<std::string> PlayerEventHandler::playSessionId(const MediaItem& item) {
    const std::string path = item.Path.value_or("");
    if (!lowercased(path).starts_with("http"))
        return item.localPlaySessionId;
    auto components = UrlComponents::parse(path);
    if (!components)
        return std::nullopt;
    auto query = components->queryItems();
    if (!query)
        return std::nullopt;
    for (const auto& queryItem : *query) {
        if (lowercased(queryItem.name) == "playsessionid")
            return queryItem.value;
    }
    return std::nullopt;
}

// Statements ----------------------------------------------------------------------------------

std::string PlayerEventHandler::objectName() const {
    std::lock_guard lock(mutex_);
    return currentPlayer_ == UIPlayerClient::audioClient ? "MpvAudioPlayer" : "MpvVideoPlayer";
}

void PlayerEventHandler::send(const std::string& statement) const {
    if (auto delegate = messageDelegate_.lock())
        delegate->respondToWebview(statement);
}

void PlayerEventHandler::propertyCall(const char* name, double value) const {
    send(objectName() + ".onPropertyChange('" + name + "', " + javaScriptDouble(value) + ");");
}

void PlayerEventHandler::eventCall(const char* name) const {
    send(objectName() + ".onEvent('" + name + "');");
}

void PlayerEventHandler::playlistEntry(const MediaItem& item) const {
    send(objectName() + ".onPropertyChange('playlistItemId', " +
         javaScriptSingleQuoted(item.playlistItemId.value_or("")) + ");");
}

void PlayerEventHandler::setSyncActive() const {
    AppSettings().setSyncActive(true);
}

// Reports -------------------------------------------------------------------------------------

std::optional<PlayerEventHandler::Report> PlayerEventHandler::reportBasis(
    const char* missingMessage) {
    Report report;
    {
        std::lock_guard lock(mutex_);
        if (currentMediaType_ != MediaType::Audio)
            return std::nullopt;
        report.player = player_;
        report.item = currentItem_;
    }
    if (!report.item && report.player) {
        report.item = report.player->currentMediaItem();
        std::lock_guard lock(mutex_);
        currentItem_ = report.item;
    }
    std::optional<MediaSourceInfo> source;
    if (report.player)
        source = report.player->currentMediaSource();
    if (!report.player || !report.item || !source || !source->Id) {
        logger().log(missingMessage);
        return std::nullopt;
    }
    auto sessionId = playSessionId(*report.item);
    if (!sessionId)
        return std::nullopt;
    report.sourceId = source->Id.str();
    report.sessionId = std::move(*sessionId);
    report.serverId = report.item->ServerId.value_or("");
    report.queue = report.player->getCurrentQueue();
    return report;
}

std::optional<PlayerEventHandler::Report> PlayerEventHandler::buildProgressReport() {
    auto report =
        reportBasis("onPlaybackStarted missing required information for progress reporting!");
    if (!report)
        return std::nullopt;
    const bool playing = report->player->isPlaying();
    std::lock_guard lock(mutex_);
    report->info =
        PlaybackProgressInfo(true, report->item->ItemId.value_or(""), report->sourceId, !playing,
                             currentPlaylistPos_, static_cast<std::int64_t>(report->queue.size()),
                             false, report->sessionId, currentRepeatMode_, 0);
    report->info.PositionTicks = ticksFromMs(currentPositionMs_);
    return report;
}

void PlayerEventHandler::playbackStarted() {
    auto player = this->player();
    const std::int64_t position = player ? player->getCurrentStreamPosition() : 0;
    {
        std::lock_guard lock(mutex_);
        currentPositionMs_ = position;
    }
    auto report = buildProgressReport();
    if (!report)
        return;
    if (report->player && currentPlaylistPos() == 0)
        report->info.NowPlayingQueue = nowPlayingQueue(report->queue);
    auto client = clientLookup_ ? clientLookup_(report->serverId) : nullptr;
    if (!client) {
        logger().log("onPlaybackStarted Failed to get ApiClient for item!");
        return;
    }
    client->reportPlaybackStart(report->info);
    startProgressTimer();
}

void PlayerEventHandler::progressReport(ProgressEvent event) {
    auto report = buildProgressReport();
    if (!report)
        return;
    report->info.EventName = event;
    auto client = clientLookup_ ? clientLookup_(report->serverId) : nullptr;
    if (!client) {
        logger().log("reportPlaybackProgress Failed to get ApiClient for item!");
        return;
    }
    client->reportPlaybackProgress(report->info);
}

void PlayerEventHandler::playbackStopped(bool withQueue) {
    auto report =
        reportBasis("onPlaybackStopped missing required information for progress reporting!");
    if (!report)
        return;
    PlaybackStopInfo info;
    {
        std::lock_guard lock(mutex_);
        info = PlaybackStopInfo(
            currentPlaylistPos_, static_cast<std::int64_t>(report->queue.size()),
            report->item->ItemId.value_or(""), report->sourceId, report->sessionId);
        info.PositionTicks = ticksFromMs(currentPositionMs_);
    }
    if (withQueue)
        info.NowPlayingQueue = nowPlayingQueue(report->queue);
    auto client = clientLookup_ ? clientLookup_(report->serverId) : nullptr;
    if (!client) {
        logger().log("onPlaybackStopped Failed to get ApiClient for item!");
        return;
    }
    client->reportPlaybackStopped(info);
    stopProgressTimer();
    std::lock_guard lock(mutex_);
    currentItem_.reset();
}

void PlayerEventHandler::startProgressTimer() {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (progressTimer_ || progressTimerScheduled_)
            return;
        progressTimerScheduled_ = true;
        generation = progressTimerGeneration_;
    }
    std::weak_ptr<PlayerEventHandler> weak = weak_from_this();
    DispatchQueue::main()->async([weak, generation] {
        auto self = weak.lock();
        if (!self)
            return;
        std::lock_guard lock(self->mutex_);
        // A stop since the start was scheduled cancels it.
        if (!self->progressTimerScheduled_ || self->progressTimerGeneration_ != generation)
            return;
        self->progressTimerScheduled_ = false;
        self->progressTimer_ =
            RepeatingTimer::schedule(DispatchQueue::main(), self->progressInterval_, [weak] {
                if (auto handler = weak.lock())
                    handler->progressReport(ProgressEvent::TimeUpdate);
            });
    });
}

void PlayerEventHandler::stopProgressTimer() {
    std::shared_ptr<RepeatingTimer> timer;
    {
        std::lock_guard lock(mutex_);
        ++progressTimerGeneration_;
        progressTimerScheduled_ = false;
        timer = std::move(progressTimer_);
        progressTimer_.reset();
    }
    if (timer)
        timer->invalidate();
}

// Events --------------------------------------------------------------------------------------

PlayerEventOperations PlayerEventHandler::implementedOperations() const {
    return PlayerEventOperations::all()
        .without(PlayerEventOperation::seeking)
        .without(PlayerEventOperation::playbackRestarted);
}

void PlayerEventHandler::setPlayer(std::shared_ptr<Player> player) {
    std::lock_guard lock(mutex_);
    player_ = std::move(player);
}

void PlayerEventHandler::onTimeUpdate(double positionMs) {
    propertyCall("time-pos", positionMs);
    progressReport(ProgressEvent::TimeUpdate);
    std::lock_guard lock(mutex_);
    currentPositionMs_ = truncatedMs(positionMs);
}

void PlayerEventHandler::onCacheUpdate(double startMs, double endMs) {
    send(objectName() + ".onCacheUpdate(" + javaScriptDouble(startMs) + ", " +
         javaScriptDouble(endMs) + ");");
}

void PlayerEventHandler::onDurationChanged(double durationMs) {
    propertyCall("duration", durationMs);
}

void PlayerEventHandler::onSubtitleDelayChanged(double delayMs) {
    propertyCall("sub-delay", delayMs);
}

void PlayerEventHandler::onPlaybackRateChanged(double rate) {
    propertyCall("speed", rate);
}

void PlayerEventHandler::fileDidLoad() {
    std::weak_ptr<PlayerEventHandler> weak = weak_from_this();
    DispatchQueue::main()->async([weak] {
        auto self = weak.lock();
        if (!self || self->currentMediaType() != MediaType::Video)
            return;
        if (auto presenter = self->videoPresenterDelegate_.lock())
            presenter->attachPlayerView();
    });
    eventCall("file-loaded");
    playbackStarted();
}

void PlayerEventHandler::fileDidEnd() {
    eventCall("ended");
    setSyncActive();
    playbackStopped(false);
}

void PlayerEventHandler::fileDidEndWithErrorCode(std::int32_t /*code*/) {
    eventCall("error");
    setSyncActive();
    playbackStopped(false);
}

void PlayerEventHandler::fileWillStart(const std::optional<std::string>& /*path*/,
                                       const std::optional<std::string>& /*playlistItemId*/) {
    eventCall("start-file");
    auto player = this->player();
    if (!player)
        return;
    const std::int64_t index = player->getCurrentPlaylistIndex();
    if (index == currentPlaylistPos() && fitsInt32(index))
        playlistPositionChanged(static_cast<std::int32_t>(index));
}

void PlayerEventHandler::playbackDidPause() {
    send(objectName() + ".onPropertyChange('pause', true);");
    progressReport(ProgressEvent::Pause);
}

void PlayerEventHandler::playbackDidUnpause() {
    send(objectName() + ".onPropertyChange('pause', false);");
    progressReport(ProgressEvent::Unpause);
}

void PlayerEventHandler::shutdown() {
    eventCall("shutdown");
    setSyncActive();
    playbackStopped(true);
    {
        std::lock_guard lock(mutex_);
        currentPlaylistPos_ = 0;
        currentItem_.reset();
        currentRepeatMode_ = RepeatMode::RepeatNone;
    }
    onShutdown();
}

void PlayerEventHandler::onShutdown() {}

void PlayerEventHandler::playlistPositionChanged(std::int32_t index) {
    std::shared_ptr<Player> player;
    std::shared_ptr<MediaItem> previous;
    {
        std::lock_guard lock(mutex_);
        currentPlaylistPos_ = index;
        player = player_;
        previous = currentItem_;
    }
    auto item = player ? player->getItemAtPosition(index) : nullptr;
    if (previous && item != previous) {
        setSyncActive();
        playbackStopped(false);
    }
    {
        std::lock_guard lock(mutex_);
        currentItem_ = item;
    }
    if (item)
        playlistEntry(*item);
    propertyCall("playlist-pos", static_cast<double>(index));
}

void PlayerEventHandler::onPlaylistItemRemoved(const std::shared_ptr<MediaItem>& item) {
    std::string id = item && item->playlistItemId ? *item->playlistItemId : std::string();
    send(objectName() + ".onPlaylistItemRemoved(" + javaScriptSingleQuoted(id) + ");");
}

void PlayerEventHandler::onPlaylistItemMoved(const std::string& playlistItemId,
                                             std::int64_t newIndex) {
    send(objectName() + ".onPlaylistItemMoved(" + javaScriptSingleQuoted(playlistItemId) + ", " +
         javaScriptInteger(newIndex) + ");");
}

void PlayerEventHandler::onPlaylistChanged(const std::vector<std::shared_ptr<MediaItem>>& queue) {
    if (auto player = this->player()) {
        if (auto current = player->currentMediaItem())
            playlistEntry(*current);
    }
    std::string list = "[";
    for (std::size_t i = 0; i < queue.size(); ++i) {
        if (i > 0)
            list += ", ";
        const MediaItem* item = queue[i].get();
        list += javaScriptDoubleQuoted(item && item->itemJson ? *item->itemJson : std::string());
    }
    list += "]";
    send(objectName() + ".onPlaylistChanged(" + list + ");");
}

void PlayerEventHandler::onVolumeChanged(std::int64_t volume, std::int64_t /*maximum*/) {
    send(objectName() + ".notifyVolumeChange(" + javaScriptInteger(volume) + ", true);");
}

void PlayerEventHandler::onRepeatModeChanged(const std::string& mode) {
    const RepeatMode next = repeatModeNamed(mode);
    if (next == currentRepeatMode())
        return;
    send(objectName() + ".onPropertyChange('repeat-mode', " + javaScriptSingleQuoted(mode) + ");");
    progressReport(ProgressEvent::RepeatModeChange);
    std::lock_guard lock(mutex_);
    currentRepeatMode_ = next;
}

void PlayerEventHandler::handleAppDidBecomeActive() {
    auto player = this->player();
    if (!player || !player->hasMedia())
        return;
    auto queue = player->getCurrentQueue();
    if (queue.empty() || !fitsInt32(static_cast<std::int64_t>(queue.size())))
        return;
    const std::int64_t index = player->getCurrentPlaylistIndex();
    if (index < 0 || index >= static_cast<std::int64_t>(queue.size()))
        return;
    onPlaylistChanged(queue);
    playlistPositionChanged(static_cast<std::int32_t>(index));
}

}  // namespace vk
