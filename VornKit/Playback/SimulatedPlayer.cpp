#include "VornKit/Playback/SimulatedPlayer.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {

using Op = PlayerEventOperation;

constexpr std::int64_t kRestartThresholdMs = 3'000;

std::optional<double> numberArgument(const std::any& argument) {
    if (auto* d = std::any_cast<double>(&argument))
        return *d;
    if (auto* i = std::any_cast<int>(&argument))
        return *i;
    if (auto* l = std::any_cast<std::int64_t>(&argument))
        return static_cast<double>(*l);
    return std::nullopt;
}

}  // namespace

std::shared_ptr<SimulatedPlayer> SimulatedPlayer::make(Options options) {
    return std::shared_ptr<SimulatedPlayer>(new SimulatedPlayer(std::move(options)));
}

SimulatedPlayer::SimulatedPlayer(Options options) : options_(std::move(options)) {}

template <class F>
void SimulatedPlayer::onMain(F step) {
    std::weak_ptr<SimulatedPlayer> weak = weak_from_this();
    DispatchQueue::main()->async([weak, step = std::move(step)]() mutable {
        if (auto self = weak.lock())
            step(*self);
    });
}

std::chrono::milliseconds SimulatedPlayer::wait(std::chrono::milliseconds playback) const {
    if (options_.fast || !(options_.speed > 0))
        return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(static_cast<double>(playback.count()) / options_.speed));
}

void SimulatedPlayer::schedule(std::chrono::milliseconds delay,
                               void (SimulatedPlayer::*step)(std::uint64_t)) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
    }
    std::weak_ptr<SimulatedPlayer> weak = weak_from_this();
    DispatchQueue::main()->asyncAfter(wait(delay), [weak, step, generation] {
        if (auto self = weak.lock())
            ((*self).*step)(generation);
    });
}

SimulatedPlayer::Entry SimulatedPlayer::makeEntry(std::shared_ptr<MediaItem> item) const {
    Entry entry;
    entry.durationMs = options_.defaultDurationMs;
    if (item && item->itemJson) {
        auto decoded = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(*item->itemJson);
        if (decoded && *decoded && (*decoded)->RunTimeTicks > 0)
            entry.durationMs = (*decoded)->RunTimeTicks / 10'000;
    }
    if (item && item->ItemId)
        entry.source = MediaSourceInfo(*item->ItemId, entry.durationMs * 10'000);
    entry.item = std::move(item);
    return entry;
}

// State ---------------------------------------------------------------------------------------

bool SimulatedPlayer::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::int64_t SimulatedPlayer::durationOf(std::int32_t index) const {
    std::lock_guard lock(mutex_);
    const Entry* entry = queue_.at(index);
    return entry ? entry->durationMs : 0;
}

MediaType SimulatedPlayer::currentMediaType() const {
    std::lock_guard lock(mutex_);
    return mediaType_;
}

std::shared_ptr<MediaItem> SimulatedPlayer::currentMediaItem() const {
    std::lock_guard lock(mutex_);
    return queue_.itemAt(queue_.current);
}

std::optional<MediaSourceInfo> SimulatedPlayer::currentMediaSource() const {
    std::lock_guard lock(mutex_);
    return loadedSource_;
}

void SimulatedPlayer::addDelegate(std::shared_ptr<PlayerEventDelegate> delegate) {
    delegates_.add(delegate);
}

void SimulatedPlayer::removeDelegate(std::shared_ptr<PlayerEventDelegate> delegate) {
    delegates_.remove(delegate);
}

bool SimulatedPlayer::isPlaying() const {
    std::lock_guard lock(mutex_);
    return loaded_ && !paused_;
}

bool SimulatedPlayer::hasMedia() const {
    std::lock_guard lock(mutex_);
    return loaded_;
}

bool SimulatedPlayer::hasMedia(MediaType type) const {
    std::lock_guard lock(mutex_);
    return loaded_ && mediaType_ == type;
}

std::vector<std::shared_ptr<MediaItem>> SimulatedPlayer::getCurrentQueue() const {
    std::lock_guard lock(mutex_);
    return queue_.items();
}

std::shared_ptr<MediaItem> SimulatedPlayer::getItemAtPosition(std::int32_t index) const {
    std::lock_guard lock(mutex_);
    return queue_.itemAt(index);
}

std::int64_t SimulatedPlayer::getCurrentPlaylistIndex() const {
    std::lock_guard lock(mutex_);
    return queue_.current;
}

std::int64_t SimulatedPlayer::getCurrentStreamPosition() const {
    std::lock_guard lock(mutex_);
    return positionMs_;
}

// Commands ------------------------------------------------------------------------------------

void SimulatedPlayer::execute(const std::string& command, const std::any& argument) {
    if (command != "volume")
        return;
    if (auto volume = numberArgument(argument))
        onMain([volume = *volume](SimulatedPlayer& self) { self.setVolume(volume); });
}

void SimulatedPlayer::playPause() {
    onMain([](SimulatedPlayer& self) { self.setPaused(self.isPlaying()); });
}

void SimulatedPlayer::pause() {
    onMain([](SimulatedPlayer& self) { self.setPaused(true); });
}

void SimulatedPlayer::unpause() {
    onMain([](SimulatedPlayer& self) { self.setPaused(false); });
}

void SimulatedPlayer::nextTrack() {
    onMain([](SimulatedPlayer& self) {
        std::int64_t index = 0;
        std::size_t size = 0;
        bool repeatAll = false;
        {
            std::lock_guard lock(self.mutex_);
            if (!self.loaded_)
                return;
            index = self.queue_.current;
            size = self.queue_.size();
            repeatAll = self.repeatMode_ == RepeatMode::RepeatAll;
        }
        if (static_cast<std::size_t>(index + 1) < size) {
            self.startEntry(index + 1, 0);
        } else if (repeatAll) {
            self.startEntry(0, 0);
        } else {
            self.finish(false);
        }
    });
}

void SimulatedPlayer::prevTrack() {
    onMain([](SimulatedPlayer& self) {
        std::int64_t index = 0;
        std::int64_t position = 0;
        {
            std::lock_guard lock(self.mutex_);
            if (!self.loaded_)
                return;
            index = self.queue_.current;
            position = self.positionMs_;
        }
        if (position > kRestartThresholdMs || index == 0) {
            self.seekTo(0);
        } else {
            self.startEntry(index - 1, 0);
        }
    });
}

void SimulatedPlayer::queueItems(const std::string& itemsJson, bool next) {
    auto items = MediaItem::mediaItemsFromJson(itemsJson);
    if (items.empty())
        return;
    onMain([items = std::move(items), next](SimulatedPlayer& self) {
        std::vector<std::shared_ptr<MediaItem>> queue;
        {
            std::lock_guard lock(self.mutex_);
            std::size_t at = next && self.queue_.current >= 0
                                 ? static_cast<std::size_t>(self.queue_.current) + 1
                                 : self.queue_.size();
            for (const auto& item : items)
                self.queue_.insert(at++, self.makeEntry(item));
            queue = self.queue_.items();
        }
        self.delegates_.notify(Op::onPlaylistChanged,
                               [&](PlayerEventDelegate& d) { d.onPlaylistChanged(queue); });
    });
}

void SimulatedPlayer::removeFromPlaylistAtIndex(std::int32_t index) {
    onMain([index](SimulatedPlayer& self) {
        std::shared_ptr<MediaItem> removed;
        bool wasCurrent = false;
        bool hasNext = false;
        {
            std::lock_guard lock(self.mutex_);
            wasCurrent = index == self.queue_.current && self.loaded_;
            auto entry = self.queue_.remove(index);
            if (!entry)
                return;
            removed = entry->item;
            hasNext = self.queue_.at(index) != nullptr;
        }
        self.delegates_.notify(Op::onPlaylistItemRemoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemRemoved(removed); });
        if (wasCurrent && hasNext) {
            self.startEntry(index, 0);
        } else if (wasCurrent) {
            self.finish(false);
        }
    });
}

void SimulatedPlayer::movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) {
    onMain([from, to](SimulatedPlayer& self) {
        std::string id;
        {
            std::lock_guard lock(self.mutex_);
            if (!self.queue_.move(from, to))
                return;
            const auto item = self.queue_.itemAt(to);
            id = item && item->playlistItemId ? *item->playlistItemId : std::string();
        }
        self.delegates_.notify(Op::onPlaylistItemMoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemMoved(id, to); });
    });
}

void SimulatedPlayer::stop(const std::any& /*argument*/) {
    onMain([](SimulatedPlayer& self) {
        {
            std::lock_guard lock(self.mutex_);
            if (self.queue_.empty())
                return;
        }
        self.finish(true);
    });
}

void SimulatedPlayer::setPosition(std::optional<double> positionMs) {
    if (!positionMs)
        return;
    onMain([position = *positionMs](SimulatedPlayer& self) { self.seekTo(position); });
}

void SimulatedPlayer::seekRelative(std::optional<double> offsetMs) {
    if (!offsetMs)
        return;
    onMain([offset = *offsetMs](SimulatedPlayer& self) {
        self.seekTo(static_cast<double>(self.getCurrentStreamPosition()) + offset);
    });
}

void SimulatedPlayer::seek(const std::string& positionMs) {
    char* end = nullptr;
    const double position = std::strtod(positionMs.c_str(), &end);
    if (end == positionMs.c_str() || *end != '\0')
        return;
    setPosition(position);
}

void SimulatedPlayer::setShuffleOn(bool on) {
    onMain([on](SimulatedPlayer& self) {
        std::vector<std::shared_ptr<MediaItem>> queue;
        {
            std::lock_guard lock(self.mutex_);
            if (self.shuffle_ == on)
                return;
            self.shuffle_ = on;
            if (on) {
                self.queue_.shuffle();
            } else {
                self.queue_.unshuffle();
            }
            queue = self.queue_.items();
        }
        self.delegates_.notify(Op::onPlaylistChanged,
                               [&](PlayerEventDelegate& d) { d.onPlaylistChanged(queue); });
    });
}

void SimulatedPlayer::setRepeatMode(const std::string& mode) {
    onMain([mode](SimulatedPlayer& self) {
        {
            std::lock_guard lock(self.mutex_);
            self.repeatMode_ = repeatModeNamed(mode);
        }
        self.delegates_.notify(Op::onRepeatModeChanged,
                               [&](PlayerEventDelegate& d) { d.onRepeatModeChanged(mode); });
    });
}

void SimulatedPlayer::playVideo(const std::string& path, bool /*isLocal*/,
                                const std::string& itemId, const std::string& itemJson,
                                const std::string& mediaSourceJson, bool /*isTranscoding*/,
                                std::int64_t startPosMs, std::int32_t /*videoStreamIndex*/,
                                std::int32_t /*audioStreamIndex*/,
                                std::int32_t /*subtitleStreamIndex*/,
                                const std::string& posterUrl) {
    auto item = MediaItem::forVideo(path, itemId, itemJson, posterUrl);
    Entry entry = makeEntry(item);
    if (auto source = MediaSourceInfo::initWithJson(mediaSourceJson))
        entry.source = std::move(source);
    onMain([entry = std::move(entry), startPosMs](SimulatedPlayer& self) {
        self.replaceQueue({entry}, MediaType::Video, 0, startPosMs);
    });
}

void SimulatedPlayer::playAudio(const std::vector<std::shared_ptr<MediaItem>>& items,
                                bool /*isLocal*/, const std::optional<MediaSourceInfo>& mediaSource,
                                std::int32_t startIndex, std::int64_t startPosMs) {
    std::vector<Entry> entries;
    for (const auto& item : items)
        entries.push_back(makeEntry(item));
    if (mediaSource && startIndex >= 0 && static_cast<std::size_t>(startIndex) < entries.size())
        entries[static_cast<std::size_t>(startIndex)].source = mediaSource;
    onMain([entries = std::move(entries), startIndex, startPosMs](SimulatedPlayer& self) {
        self.replaceQueue(entries, MediaType::Audio, startIndex, startPosMs);
    });
}

// Steps ---------------------------------------------------------------------------------------

void SimulatedPlayer::replaceQueue(std::vector<Entry> entries, MediaType type,
                                   std::int32_t startIndex, std::int64_t startPosMs) {
    std::vector<std::shared_ptr<MediaItem>> queue;
    bool wasPlaying = false;
    const bool starts = startIndex >= 0 && static_cast<std::size_t>(startIndex) < entries.size();
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        wasPlaying = loaded_;
        queue_.reset(std::move(entries));
        queue = queue_.items();
        mediaType_ = type;
        loaded_ = false;
        paused_ = false;
        finished_ = !starts;
        scriptedPauseDone_ = false;
        shuffle_ = false;
    }
    delegates_.notify(Op::onPlaylistChanged,
                      [&](PlayerEventDelegate& d) { d.onPlaylistChanged(queue); });
    if (starts) {
        startEntry(startIndex, startPosMs);
    } else if (wasPlaying) {
        // Nothing follows the entry that played.
        delegates_.notify(Op::fileDidEnd, [](PlayerEventDelegate& d) { d.fileDidEnd(); });
    }
}

void SimulatedPlayer::startEntry(std::int64_t index, std::int64_t positionMs) {
    std::shared_ptr<MediaItem> item;
    std::int64_t duration = 0;
    bool announce = false;
    bool playsAgain = false;
    {
        std::lock_guard lock(mutex_);
        const Entry* entry = queue_.at(index);
        if (!entry)
            return;
        ++generation_;
        playsAgain = loaded_ && index == queue_.current && entry->item == playingItem_;
        playingItem_ = entry->item;
        item = entry->item;
        duration = entry->durationMs;
        queue_.current = index;
        positionMs_ = std::clamp<std::int64_t>(positionMs, 0, duration);
        positionMs = positionMs_;
        loaded_ = true;
        paused_ = false;
        finished_ = false;
        announce = index != queue_.lastAnnounced;
        queue_.lastAnnounced = index;
    }
    // The entry that played starts again: that play is over.
    if (playsAgain)
        delegates_.notify(Op::fileDidEnd, [](PlayerEventDelegate& d) { d.fileDidEnd(); });
    const std::optional<std::string> path = item ? item->Path : std::nullopt;
    const std::optional<std::string> entryId = item ? item->playlistItemId : std::nullopt;
    delegates_.notify(Op::fileWillStart,
                      [&](PlayerEventDelegate& d) { d.fileWillStart(path, entryId); });
    if (announce) {
        delegates_.notify(Op::playlistPositionChanged, [&](PlayerEventDelegate& d) {
            d.playlistPositionChanged(static_cast<std::int32_t>(index));
        });
    }
    {
        std::lock_guard lock(mutex_);
        if (const Entry* entry = queue_.currentEntry(); entry && queue_.current == index)
            loadedSource_ = entry->source;
    }
    delegates_.notify(Op::fileDidLoad, [](PlayerEventDelegate& d) { d.fileDidLoad(); });
    bool unpaused = false;
    {
        std::lock_guard lock(mutex_);
        unpaused = announcedPaused_;
        announcedPaused_ = false;
    }
    if (unpaused) {
        // A new entry plays: listeners last heard of a pause.
        delegates_.notify(Op::playbackDidUnpause,
                          [](PlayerEventDelegate& d) { d.playbackDidUnpause(); });
    }
    delegates_.notify(Op::onDurationChanged, [&](PlayerEventDelegate& d) {
        d.onDurationChanged(static_cast<double>(duration));
    });
    delegates_.notify(Op::onTimeUpdate, [&](PlayerEventDelegate& d) {
        d.onTimeUpdate(static_cast<double>(positionMs));
    });
    schedule(options_.timeUpdateInterval, &SimulatedPlayer::tick);
}

void SimulatedPlayer::tick(std::uint64_t generation) {
    std::int64_t position = 0;
    bool pauseNow = false;
    bool ended = false;
    {
        std::lock_guard lock(mutex_);
        const Entry* entry = queue_.currentEntry();
        if (generation != generation_ || paused_ || !loaded_ || !entry)
            return;
        const std::int64_t duration = entry->durationMs;
        positionMs_ = std::min(positionMs_ + options_.timeUpdateInterval.count(), duration);
        position = positionMs_;
        ended = position >= duration;
        if (!ended && !scriptedPauseDone_ && options_.pauseAtFraction &&
            static_cast<double>(position) >=
                *options_.pauseAtFraction * static_cast<double>(duration)) {
            pauseNow = true;
            scriptedPauseDone_ = true;
        }
    }
    delegates_.notify(Op::onTimeUpdate, [&](PlayerEventDelegate& d) {
        d.onTimeUpdate(static_cast<double>(position));
    });
    if (ended) {
        endOfEntry();
    } else if (pauseNow) {
        setPaused(true);
        schedule(options_.pauseFor, &SimulatedPlayer::endScriptedPause);
    } else {
        schedule(options_.timeUpdateInterval, &SimulatedPlayer::tick);
    }
}

void SimulatedPlayer::endScriptedPause(std::uint64_t generation) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_)
            return;  // a command took over meanwhile
    }
    setPaused(false);
}

void SimulatedPlayer::endOfEntry() {
    std::int64_t index = 0;
    std::size_t size = 0;
    RepeatMode mode = RepeatMode::RepeatNone;
    {
        std::lock_guard lock(mutex_);
        index = queue_.current;
        size = queue_.size();
        mode = repeatMode_;
    }
    if (mode == RepeatMode::RepeatOne) {
        startEntry(index, 0);
    } else if (static_cast<std::size_t>(index + 1) < size) {
        startEntry(index + 1, 0);
    } else if (mode == RepeatMode::RepeatAll && size > 0) {
        startEntry(0, 0);
    } else {
        finish(false);
    }
}

void SimulatedPlayer::finish(bool shutdown) {
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        loaded_ = false;
        paused_ = false;
        finished_ = true;
    }
    if (shutdown) {
        delegates_.notify(Op::shutdown, [](PlayerEventDelegate& d) { d.shutdown(); });
        std::lock_guard lock(mutex_);
        queue_.reset();
        queue_.lastAnnounced = 0;  // listeners start over at 0 after a shutdown
        loadedSource_.reset();
        positionMs_ = 0;
    } else {
        delegates_.notify(Op::fileDidEnd, [](PlayerEventDelegate& d) { d.fileDidEnd(); });
    }
}

void SimulatedPlayer::setPaused(bool paused) {
    {
        std::lock_guard lock(mutex_);
        if (!loaded_ || paused_ == paused)
            return;
        paused_ = paused;
        announcedPaused_ = paused;
        ++generation_;
    }
    if (paused) {
        delegates_.notify(Op::playbackDidPause,
                          [](PlayerEventDelegate& d) { d.playbackDidPause(); });
    } else {
        delegates_.notify(Op::playbackDidUnpause,
                          [](PlayerEventDelegate& d) { d.playbackDidUnpause(); });
        schedule(options_.timeUpdateInterval, &SimulatedPlayer::tick);
    }
}

void SimulatedPlayer::seekTo(double positionMs) {
    std::int64_t position = 0;
    bool paused = false;
    bool ended = false;
    {
        std::lock_guard lock(mutex_);
        const Entry* entry = queue_.currentEntry();
        if (!loaded_ || !entry || std::isnan(positionMs))
            return;
        ++generation_;
        const std::int64_t duration = entry->durationMs;
        positionMs_ =
            static_cast<std::int64_t>(std::clamp(positionMs, 0.0, static_cast<double>(duration)));
        position = positionMs_;
        paused = paused_;
        ended = position >= duration;
    }
    delegates_.notify(Op::seeking, [](PlayerEventDelegate& d) { d.seeking(); });
    delegates_.notify(Op::onTimeUpdate, [&](PlayerEventDelegate& d) {
        d.onTimeUpdate(static_cast<double>(position));
    });
    delegates_.notify(Op::playbackRestarted, [](PlayerEventDelegate& d) { d.playbackRestarted(); });
    if (ended) {
        endOfEntry();
    } else if (!paused) {
        schedule(options_.timeUpdateInterval, &SimulatedPlayer::tick);
    }
}

void SimulatedPlayer::setVolume(double volume) {
    std::int64_t rounded = 0;
    {
        std::lock_guard lock(mutex_);
        volume_ = std::clamp(std::isnan(volume) ? 0.0 : volume, 0.0, 100.0);
        rounded = std::llround(volume_);
    }
    delegates_.notify(Op::onVolumeChanged,
                      [&](PlayerEventDelegate& d) { d.onVolumeChanged(rounded, 100); });
}

}  // namespace vk
