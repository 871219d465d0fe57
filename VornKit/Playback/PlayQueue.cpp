#include "VornKit/Playback/PlayQueue.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace vk {

const PlayQueue::Entry* PlayQueue::at(std::int64_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size())
        return nullptr;
    return &entries_[static_cast<std::size_t>(index)];
}

std::shared_ptr<MediaItem> PlayQueue::itemAt(std::int64_t index) const {
    const Entry* entry = at(index);
    return entry ? entry->item : nullptr;
}

std::vector<std::shared_ptr<MediaItem>> PlayQueue::items() const {
    std::vector<std::shared_ptr<MediaItem>> items;
    items.reserve(entries_.size());
    for (const auto& entry : entries_)
        items.push_back(entry.item);
    return items;
}

std::int64_t PlayQueue::indexOfEngineId(std::int64_t engineId) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].engineId == engineId)
            return static_cast<std::int64_t>(i);
    }
    return -1;
}

void PlayQueue::reset(std::vector<Entry> entries) {
    entries_ = std::move(entries);
    addedOrder_.clear();
    for (const auto& entry : entries_)
        addedOrder_.push_back(entry.item);
    current = -1;
}

void PlayQueue::insert(std::size_t index, Entry entry) {
    index = std::min(index, entries_.size());
    addedOrder_.push_back(entry.item);
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), std::move(entry));
    if (current >= 0) {
        const auto at = static_cast<std::int64_t>(index);
        current += current >= at ? 1 : 0;
        lastAnnounced += lastAnnounced >= at ? 1 : 0;
    }
}

std::optional<PlayQueue::Entry> PlayQueue::remove(std::int64_t index) {
    if (!at(index))
        return std::nullopt;
    Entry removed = std::move(entries_[static_cast<std::size_t>(index)]);
    entries_.erase(entries_.begin() + index);
    std::erase(addedOrder_, removed.item);
    if (current >= 0) {
        current -= current > index ? 1 : 0;
        lastAnnounced -= lastAnnounced > index ? 1 : 0;
    }
    return removed;
}

bool PlayQueue::move(std::int64_t from, std::int64_t to) {
    if (!at(from) || !at(to) || from == to)
        return false;
    Entry moved = std::move(entries_[static_cast<std::size_t>(from)]);
    entries_.erase(entries_.begin() + from);
    entries_.insert(entries_.begin() + to, std::move(moved));
    auto follow = [&](std::int64_t& index) {
        if (index == from) {
            index = to;
        } else if (from < index && to >= index) {
            --index;
        } else if (from > index && to <= index) {
            ++index;
        }
    };
    if (current >= 0) {
        follow(current);
        follow(lastAnnounced);
    }
    return true;
}

void PlayQueue::shuffle() {
    std::vector<std::size_t> order(entries_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto first = static_cast<std::ptrdiff_t>(std::max<std::int64_t>(current + 1, 0));
    std::shuffle(order.begin() + std::min<std::ptrdiff_t>(first, order.size()), order.end(),
                 std::mt19937(std::random_device()()));
    rearrange(order);
}

void PlayQueue::unshuffle() {
    auto rank = [&](std::size_t i) {
        auto it = std::find(addedOrder_.begin(), addedOrder_.end(), entries_[i].item);
        return it - addedOrder_.begin();
    };
    std::vector<std::size_t> order(entries_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });
    rearrange(order);
}

void PlayQueue::reorder(const std::vector<std::int64_t>& engineIds) {
    std::vector<std::size_t> order;
    std::vector<bool> placed(entries_.size(), false);
    for (std::int64_t id : engineIds) {
        const std::int64_t index = indexOfEngineId(id);
        if (index >= 0 && !placed[static_cast<std::size_t>(index)]) {
            order.push_back(static_cast<std::size_t>(index));
            placed[static_cast<std::size_t>(index)] = true;
        }
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!placed[i])
            order.push_back(i);
    }
    rearrange(order);
}

void PlayQueue::rearrange(const std::vector<std::size_t>& order) {
    std::vector<Entry> arranged;
    arranged.reserve(entries_.size());
    std::int64_t newCurrent = current;
    std::int64_t newAnnounced = lastAnnounced;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto was = static_cast<std::int64_t>(order[i]);
        if (current >= 0 && was == current)
            newCurrent = static_cast<std::int64_t>(i);
        if (current >= 0 && was == lastAnnounced)
            newAnnounced = static_cast<std::int64_t>(i);
        arranged.push_back(std::move(entries_[order[i]]));
    }
    entries_ = std::move(arranged);
    current = newCurrent;
    lastAnnounced = newAnnounced;
}

}  // namespace vk
