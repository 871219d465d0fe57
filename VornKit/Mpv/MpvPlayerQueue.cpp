// MpvPlayer's queue: new queues (playAudio, playVideo), entries added, removed and moved, shuffle,
// and stop. libmpv's playlist and the player's PlayQueue change together under the player's mutex.
#include <algorithm>
#include <cmath>

#include "VornKit/Mpv/MpvEngine.h"

namespace vk {

using namespace mpv_detail;

namespace {

using Op = PlayerEventOperation;

/// A libmpv node map whose strings are kept by the builder.
class NodeMap {
  public:
    void add(std::string key, std::string value) {
        keys_.push_back(std::move(key));
        values_.push_back(std::move(value));
    }
    mpv_node node() {
        keyPointers_.clear();
        nodes_.clear();
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            keyPointers_.push_back(keys_[i].data());
            mpv_node n{};
            n.format = MPV_FORMAT_STRING;
            n.u.string = values_[i].data();
            nodes_.push_back(n);
        }
        list_.num = static_cast<int>(nodes_.size());
        list_.values = nodes_.data();
        list_.keys = keyPointers_.data();
        mpv_node result{};
        result.format = MPV_FORMAT_NODE_MAP;
        result.u.list = &list_;
        return result;
    }

  private:
    std::vector<std::string> keys_;
    std::vector<std::string> values_;
    std::vector<char*> keyPointers_;
    std::vector<mpv_node> nodes_;
    mpv_node_list list_{};
};

}  // namespace

bool MpvPlayer::appendLocked(const std::shared_ptr<MediaItem>& item,
                             std::optional<MediaSourceInfo> source) {
    if (!item || !item->Path || item->Path->empty())
        return false;
    NodeMap command;
    command.add("name", "loadfile");
    command.add("url", *item->Path);
    command.add("flags", "append");
    mpv_node node = command.node();
    mpv_node result{};
    if (mpv_command_node(engine_->mpv, &node, &result) < 0) {
        logger().log(LogMessage("libmpv refused to queue ") << Private{*item->Path});
        return false;
    }
    mpv_free_node_contents(&result);
    auto count = engine_->getInt("playlist-count");
    auto id = count && *count > 0
                  ? engine_->getInt("playlist/" + std::to_string(*count - 1) + "/id")
                  : std::nullopt;
    if (!id)
        return false;
    if (!source && item->ItemId)
        source = MediaSourceInfo(*item->ItemId, std::nullopt);
    queue_.insert(queue_.size(), Entry{item, std::move(source), *id, 0});
    return true;
}

void MpvPlayer::announcePlaylist() {
    std::vector<std::shared_ptr<MediaItem>> items = getCurrentQueue();
    onMain([items = std::move(items)](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistChanged,
                               [&](PlayerEventDelegate& d) { d.onPlaylistChanged(items); });
    });
}

void MpvPlayer::replaceQueue(const std::vector<std::shared_ptr<MediaItem>>& items,
                             const std::vector<std::optional<MediaSourceInfo>>& sources,
                             MediaType type, std::int32_t startIndex, std::int64_t startPosMs) {
    std::unique_lock lock(mutex_);
    if (!initialized_ || shutDown_)
        return;
    ++queueGeneration_;
    engine_->command({"stop"});
    queue_.reset();
    replayEntry_.reset();
    loaded_ = false;
    mediaType_ = type;
    std::int64_t start = -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (appendLocked(items[i], i < sources.size() ? sources[i] : std::nullopt) &&
            static_cast<std::int64_t>(i) == startIndex)
            start = static_cast<std::int64_t>(queue_.size()) - 1;
    }
    // The start position holds for the first play of the start entry only (a later play of it,
    // repeated or gone back to, starts at its beginning): it is set while that play loads.
    pendingStart_.reset();
    if (start >= 0 && startPosMs > 0)
        pendingStart_ = {queue_.at(start)->engineId, static_cast<double>(startPosMs) / 1000.0};
    lock.unlock();
    announcePlaylist();
    if (start >= 0) {
        engine_->set("pause", "no");
        mpv_set_property(engine_->mpv, "playlist-pos", MPV_FORMAT_INT64, &start);
    } else {
        // Nothing follows the entry that played.
        onMain([](MpvPlayer& self) { self.announceEnd(); });
    }
}

void MpvPlayer::playAudio(const std::vector<std::shared_ptr<MediaItem>>& items, bool /*isLocal*/,
                          const std::optional<MediaSourceInfo>& mediaSource,
                          std::int32_t startIndex, std::int64_t startPosMs) {
    std::vector<std::optional<MediaSourceInfo>> sources(items.size());
    if (mediaSource && startIndex >= 0 && static_cast<std::size_t>(startIndex) < items.size())
        sources[static_cast<std::size_t>(startIndex)] = mediaSource;
    replaceQueue(items, sources, MediaType::Audio, startIndex, startPosMs);
}

void MpvPlayer::playVideo(const std::string& path, bool /*isLocal*/, const std::string& itemId,
                          const std::string& itemJson, const std::string& mediaSourceJson,
                          bool /*isTranscoding*/, std::int64_t startPosMs,
                          std::int32_t /*videoStreamIndex*/, std::int32_t /*audioStreamIndex*/,
                          std::int32_t /*subtitleStreamIndex*/, const std::string& posterUrl) {
    auto item = MediaItem::forVideo(path, itemId, itemJson, posterUrl);
    replaceQueue({item}, {MediaSourceInfo::initWithJson(mediaSourceJson)}, MediaType::Video, 0,
                 startPosMs);
}

void MpvPlayer::queueItems(const std::string& itemsJson, bool next) {
    auto items = MediaItem::mediaItemsFromJson(itemsJson);
    if (items.empty())
        return;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || shutDown_)
            return;
        std::int64_t at = next && queue_.current >= 0 ? queue_.current + 1 : -1;
        for (const auto& item : items) {
            if (!appendLocked(item, std::nullopt))
                continue;
            const auto last = static_cast<std::int64_t>(queue_.size()) - 1;
            if (at >= 0 && at < last) {
                // libmpv puts the moved entry in front of the entry at the target index.
                engine_->command({"playlist-move", std::to_string(last), std::to_string(at)});
                queue_.move(last, at);
                ++at;
            }
        }
    }
    announcePlaylist();
}

void MpvPlayer::removeFromPlaylistAtIndex(std::int32_t index) {
    std::shared_ptr<MediaItem> removed;
    bool endedPlayback = false;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || !queue_.at(index))
            return;
        if (engine_->command({"playlist-remove", std::to_string(index)}) < 0)
            return;
        const bool wasCurrent = index == queue_.current;
        removed = queue_.remove(index)->item;
        if (wasCurrent && !queue_.at(index)) {
            // The last entry played; libmpv stops without a next one.
            endedPlayback = loaded_;
            loaded_ = false;
        }
    }
    onMain([removed, endedPlayback](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistItemRemoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemRemoved(removed); });
        if (endedPlayback)
            self.announceEnd();
    });
}

void MpvPlayer::movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) {
    std::string id;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || !queue_.at(from) || !queue_.at(to) || from == to)
            return;
        // libmpv puts the entry in front of the entry at the target index.
        const std::int32_t target = to > from ? to + 1 : to;
        if (engine_->command({"playlist-move", std::to_string(from), std::to_string(target)}) < 0)
            return;
        queue_.move(from, to);
        const auto item = queue_.itemAt(to);
        id = item && item->playlistItemId ? *item->playlistItemId : std::string();
    }
    onMain([id, to](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistItemMoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemMoved(id, to); });
    });
}

void MpvPlayer::reorderFromEngineLocked() {
    mpv_node playlist{};
    if (mpv_get_property(engine_->mpv, "playlist", MPV_FORMAT_NODE, &playlist) < 0)
        return;
    std::vector<std::int64_t> ids;
    if (playlist.format == MPV_FORMAT_NODE_ARRAY && playlist.u.list) {
        for (int i = 0; i < playlist.u.list->num; ++i) {
            if (auto id = nodeNumber(mapValue(playlist.u.list->values[i], "id")))
                ids.push_back(static_cast<std::int64_t>(*id));
        }
    }
    mpv_free_node_contents(&playlist);
    queue_.reorder(ids);
}

void MpvPlayer::setShuffleOn(bool on) {
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || queue_.empty())
            return;
        engine_->command({on ? "playlist-shuffle" : "playlist-unshuffle"});
        reorderFromEngineLocked();
    }
    announcePlaylist();
}

void MpvPlayer::stop(const std::any& /*argument*/) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || shutDown_ || queue_.empty())
            return;
        generation = ++queueGeneration_;
        replayEntry_.reset();
        engine_->command({"stop"});
    }
    onMain([generation](MpvPlayer& self) {
        self.entryPlaying_ = false;
        self.delegates_.notify(Op::shutdown, [](PlayerEventDelegate& d) { d.shutdown(); });
        std::lock_guard lock(self.mutex_);
        self.queue_.lastAnnounced = 0;  // listeners start over at 0 after a shutdown
        if (self.queueGeneration_ != generation)
            return;  // a new queue was started meanwhile
        self.queue_.reset();
        self.loaded_ = false;
        self.loadedSource_.reset();
    });
}

}  // namespace vk
