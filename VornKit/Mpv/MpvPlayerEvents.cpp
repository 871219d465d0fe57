// MpvPlayer's events: libmpv's events copied out on the main queue and told to the listeners as
// PlayerEventDelegate calls (the table in MpvPlayer.h).
#include <algorithm>
#include <cmath>

#include "VornKit/Mpv/MpvEngine.h"

namespace vk {

using namespace mpv_detail;

using Op = PlayerEventOperation;

/// One libmpv event, copied out of libmpv's buffer.
struct MpvPlayer::Event {
    mpv_event_id id = MPV_EVENT_NONE;
    std::uint64_t property = 0;
    std::optional<double> number;
    std::optional<bool> flag;
    std::optional<std::pair<double, double>> range;
    std::int64_t entryId = -1;
    std::uint64_t hookId = 0;
    mpv_end_file_reason reason = MPV_END_FILE_REASON_EOF;
    int error = 0;
};

void MpvPlayer::drainEvents() {
    engine_->drainScheduled = false;
    if (!engine_->mpv)
        return;
    // Copy every waiting event first: listeners may run the main loop or call back in.
    std::vector<Event> events;
    for (;;) {
        mpv_event* raw = mpv_wait_event(engine_->mpv, 0);
        if (raw->event_id == MPV_EVENT_NONE)
            break;
        Event event;
        event.id = raw->event_id;
        event.error = raw->error;
        switch (raw->event_id) {
            case MPV_EVENT_START_FILE:
                event.entryId = static_cast<mpv_event_start_file*>(raw->data)->playlist_entry_id;
                break;
            case MPV_EVENT_HOOK:
                event.hookId = static_cast<mpv_event_hook*>(raw->data)->id;
                break;
            case MPV_EVENT_END_FILE: {
                auto* end = static_cast<mpv_event_end_file*>(raw->data);
                event.entryId = end->playlist_entry_id;
                event.reason = end->reason;
                event.error = end->error;
                break;
            }
            case MPV_EVENT_PROPERTY_CHANGE: {
                auto* property = static_cast<mpv_event_property*>(raw->data);
                event.property = raw->reply_userdata;
                if (property->format == MPV_FORMAT_DOUBLE && property->data) {
                    event.number = *static_cast<double*>(property->data);
                } else if (property->format == MPV_FORMAT_FLAG && property->data) {
                    event.flag = *static_cast<int*>(property->data) != 0;
                } else if (property->format == MPV_FORMAT_NODE && property->data) {
                    event.range = cacheRange(*static_cast<mpv_node*>(property->data));
                }
                break;
            }
            default:
                break;
        }
        events.push_back(std::move(event));
        if (raw->event_id == MPV_EVENT_SHUTDOWN)
            break;
    }
    for (const auto& event : events)
        handle(event);
}

void MpvPlayer::announcePause() {
    if (!paused_ || *paused_ == announcedPaused_)
        return;
    announcedPaused_ = *paused_;
    if (announcedPaused_) {
        delegates_.notify(Op::playbackDidPause,
                          [](PlayerEventDelegate& d) { d.playbackDidPause(); });
    } else {
        delegates_.notify(Op::playbackDidUnpause,
                          [](PlayerEventDelegate& d) { d.playbackDidUnpause(); });
    }
}

void MpvPlayer::announceEnd() {
    if (!entryPlaying_)
        return;
    entryPlaying_ = false;
    delegates_.notify(Op::fileDidEnd, [](PlayerEventDelegate& d) { d.fileDidEnd(); });
}

void MpvPlayer::handle(const Event& event) {
    bool replaying = false;
    {
        std::lock_guard lock(mutex_);
        replaying = replayEntry_.has_value();
        if (replaying && event.id == MPV_EVENT_START_FILE && event.entryId == *replayEntry_) {
            replayEntry_.reset();
            replaying = false;
        }
    }
    if (replaying) {
        // libmpv moved on from the entry that repeats before it starts again: the other entry's
        // start, load and time do not concern the listeners.
        const bool foreign = event.id == MPV_EVENT_START_FILE ||
                             event.id == MPV_EVENT_FILE_LOADED || event.id == MPV_EVENT_SEEK ||
                             event.id == MPV_EVENT_PLAYBACK_RESTART ||
                             (event.id == MPV_EVENT_PROPERTY_CHANGE &&
                              (event.property == kTimePos || event.property == kDuration ||
                               event.property == kCacheState));
        if (foreign)
            return;
    }
    switch (event.id) {
        case MPV_EVENT_START_FILE: {
            std::shared_ptr<MediaItem> item;
            std::int64_t index = -1;
            bool announce = false;
            {
                std::lock_guard lock(mutex_);
                index = queue_.indexOfEngineId(event.entryId);
                if (index < 0)
                    return;  // an entry of a queue that was replaced
                queue_.current = index;
                loaded_ = false;
                item = queue_.itemAt(index);
                announce = index != queue_.lastAnnounced;
                queue_.lastAnnounced = index;
            }
            // The entry that played starts again: that play is over.
            if (event.entryId == startedEntry_)
                announceEnd();
            startedEntry_ = event.entryId;
            entryPlaying_ = false;
            timeUpdateDue_ = true;
            lastTimeMs_.reset();
            durationMs_.reset();
            cacheRange_.reset();
            const std::optional<std::string> path = item ? item->Path : std::nullopt;
            const std::optional<std::string> entryId = item ? item->playlistItemId : std::nullopt;
            delegates_.notify(Op::fileWillStart,
                              [&](PlayerEventDelegate& d) { d.fileWillStart(path, entryId); });
            if (announce) {
                delegates_.notify(Op::playlistPositionChanged, [&](PlayerEventDelegate& d) {
                    d.playlistPositionChanged(static_cast<std::int32_t>(index));
                });
            }
            return;
        }
        case MPV_EVENT_FILE_LOADED: {
            {
                std::lock_guard lock(mutex_);
                const Entry* entry = queue_.currentEntry();
                if (!entry)
                    return;
                loadedSource_ = entry->source;
                loaded_ = true;
            }
            delegates_.notify(Op::fileDidLoad, [](PlayerEventDelegate& d) { d.fileDidLoad(); });
            entryPlaying_ = true;
            announcePause();
            return;
        }
        case MPV_EVENT_END_FILE: {
            bool last = false;
            bool repeatAll = false;
            bool repeatsItself = false;
            {
                std::lock_guard lock(mutex_);
                repeatAll = repeatAll_;
                const std::int64_t index = queue_.indexOfEngineId(event.entryId);
                if (index < 0)
                    return;
                const bool current = index == queue_.current;
                if (current)
                    loaded_ = false;
                last = static_cast<std::size_t>(index) + 1 == queue_.size();
                if (event.reason == MPV_END_FILE_REASON_ERROR)
                    loadedSource_ = queue_.at(index)->source;
                if (event.reason == MPV_END_FILE_REASON_EOF && current && repeatOne_) {
                    // libmpv goes on to the next entry (or stops): play this one again.
                    repeatsItself =
                        engine_->command({"playlist-play-index", std::to_string(index)}) >= 0;
                    if (repeatsItself)
                        replayEntry_ = event.entryId;
                }
            }
            if (event.reason == MPV_END_FILE_REASON_EOF && durationMs_ &&
                lastTimeMs_ != durationMs_) {
                // Time updates are spaced out; the end of the file is its last position.
                const double end = *durationMs_;
                lastTimeMs_ = end;
                delegates_.notify(Op::onTimeUpdate,
                                  [&](PlayerEventDelegate& d) { d.onTimeUpdate(end); });
            }
            if (event.reason == MPV_END_FILE_REASON_ERROR) {
                entryPlaying_ = false;
                delegates_.notify(Op::fileDidEndWithErrorCode, [&](PlayerEventDelegate& d) {
                    d.fileDidEndWithErrorCode(event.error);
                });
            } else if (event.reason == MPV_END_FILE_REASON_EOF && last && !repeatAll &&
                       !repeatsItself) {
                announceEnd();
            }
            return;
        }
        case MPV_EVENT_SHUTDOWN: {
            {
                std::lock_guard lock(mutex_);
                if (shutDown_)
                    return;
                shutDown_ = true;
                loaded_ = false;
            }
            entryPlaying_ = false;
            delegates_.notify(Op::shutdown, [](PlayerEventDelegate& d) { d.shutdown(); });
            return;
        }
        case MPV_EVENT_HOOK: {
            {
                std::lock_guard lock(mutex_);
                if (pendingStart_ && pendingStart_->first == startedEntry_) {
                    engine_->set("file-local-options/start", number(pendingStart_->second));
                    pendingStart_.reset();
                }
            }
            mpv_hook_continue(engine_->mpv, event.hookId);
            return;
        }
        case MPV_EVENT_SEEK:
            timeUpdateDue_ = true;
            delegates_.notify(Op::seeking, [](PlayerEventDelegate& d) { d.seeking(); });
            return;
        case MPV_EVENT_PLAYBACK_RESTART:
            timeUpdateDue_ = true;
            delegates_.notify(Op::playbackRestarted,
                              [](PlayerEventDelegate& d) { d.playbackRestarted(); });
            return;
        case MPV_EVENT_PROPERTY_CHANGE:
            break;
        default:
            return;
    }

    switch (event.property) {
        case kTimePos: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const double ms = std::max(0.0, milliseconds(*event.number));
            const double interval = static_cast<double>(options_.timeUpdateInterval.count());
            if (!timeUpdateDue_ && lastTimeMs_ && std::abs(ms - *lastTimeMs_) < interval)
                return;
            timeUpdateDue_ = false;
            lastTimeMs_ = ms;
            delegates_.notify(Op::onTimeUpdate,
                              [&](PlayerEventDelegate& d) { d.onTimeUpdate(ms); });
            return;
        }
        case kDuration:
            if (event.number && std::isfinite(*event.number)) {
                const double ms = milliseconds(*event.number);
                durationMs_ = ms;
                delegates_.notify(Op::onDurationChanged,
                                  [&](PlayerEventDelegate& d) { d.onDurationChanged(ms); });
            }
            return;
        case kPause: {
            if (!event.flag)
                return;
            paused_ = event.flag;
            bool loaded = false;
            {
                std::lock_guard lock(mutex_);
                loaded = loaded_;
            }
            // While nothing is loaded the change waits for the next file to load.
            if (loaded)
                announcePause();
            return;
        }
        case kCacheState: {
            if (!event.range || event.range == cacheRange_)
                return;
            cacheRange_ = event.range;
            const double start = milliseconds(event.range->first);
            const double end = milliseconds(event.range->second);
            delegates_.notify(Op::onCacheUpdate,
                              [&](PlayerEventDelegate& d) { d.onCacheUpdate(start, end); });
            return;
        }
        case kSpeed: {
            if (!event.number)
                return;
            const bool first = !speed_;
            const bool changed = speed_ != event.number;
            speed_ = event.number;
            if (!first && changed) {
                const double rate = *event.number;
                delegates_.notify(Op::onPlaybackRateChanged,
                                  [&](PlayerEventDelegate& d) { d.onPlaybackRateChanged(rate); });
            }
            return;
        }
        case kVolume: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const bool first = !volume_;
            const bool changed = volume_ != event.number;
            volume_ = event.number;
            if (!first && changed) {
                const auto volume = static_cast<std::int64_t>(std::llround(*event.number));
                delegates_.notify(Op::onVolumeChanged,
                                  [&](PlayerEventDelegate& d) { d.onVolumeChanged(volume, 100); });
            }
            return;
        }
        case kSubDelay: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const bool first = !subDelay_;
            const bool changed = subDelay_ != event.number;
            subDelay_ = event.number;
            if (!first && changed) {
                const double ms = milliseconds(*event.number);
                delegates_.notify(Op::onSubtitleDelayChanged,
                                  [&](PlayerEventDelegate& d) { d.onSubtitleDelayChanged(ms); });
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace vk
