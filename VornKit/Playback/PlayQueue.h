// PlayQueue: the queue a player implementation keeps (MpvPlayer, SimulatedPlayer): its entries in
// order, the current entry, and the position last announced to listeners
// (playlistPositionChanged). When entries are inserted, removed or moved around them, the current
// and the announced positions follow their entries, so that a change of the queue is never taken
// for a move to another entry. Removing the current entry leaves the position where it was (the
// entry after it slides in). Replacing the entries keeps the announced position: listeners still
// hold it, so a new queue whose first entry sits elsewhere is announced as a move.
//
// Thread rule: externally synchronised (the player's lock). Ownership: a value; items are shared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Playback/MediaItem.h"

namespace vk {

/// A player implementation's queue and its current and announced positions (see the file comment).
class VK_EXPORT PlayQueue {
  public:
    /// One queue entry: the item, its media source and what the engine knows of it.
    struct Entry {
        /// The item, and the media source it plays from when known.
        /// @{
        std::shared_ptr<MediaItem> item;
        std::optional<MediaSourceInfo> source;
        /// @}
        std::int64_t engineId = 0;    ///< the engine's id of the entry (libmpv's entry id)
        std::int64_t durationMs = 0;  ///< when the player knows it beforehand
    };

    /// Index of the current entry; -1 when there is none.
    std::int64_t current = -1;
    /// The position listeners were last told about: 0 before the first, kept by reset(); the
    /// player sets it back to 0 when it tells them it shut down (they start over at 0).
    std::int64_t lastAnnounced = 0;

    /// The entries in play order.
    const std::vector<Entry>& entries() const { return entries_; }
    /// The number of entries.
    std::size_t size() const { return entries_.size(); }
    /// Whether the queue has no entry.
    bool empty() const { return entries_.empty(); }
    /// The entry at `index`, or null outside the queue.
    const Entry* at(std::int64_t index) const;
    /// The item of the entry at `index` (shared), or null outside the queue.
    std::shared_ptr<MediaItem> itemAt(std::int64_t index) const;
    /// The current entry, or null when there is none; valid until the queue changes.
    const Entry* currentEntry() const { return at(current); }
    /// The entries' items in play order (shared).
    std::vector<std::shared_ptr<MediaItem>> items() const;
    /// The index of the entry with this engine id, or -1.
    std::int64_t indexOfEngineId(std::int64_t engineId) const;

    /// Replaces every entry; no entry is current, the announced position stays.
    void reset(std::vector<Entry> entries = {});
    /// Inserts at `index` (at the end when beyond it).
    void insert(std::size_t index, Entry entry);
    /// Removes the entry at `index`; absent outside the queue.
    std::optional<Entry> remove(std::int64_t index);
    /// Moves the entry at `from` so that it ends up at `to`; false (nothing moved) when either is
    /// outside the queue or they are equal.
    bool move(std::int64_t from, std::int64_t to);
    /// Puts the entries after the current one in a random order.
    void shuffle();
    /// Puts every entry back in the order it was added in.
    void unshuffle();
    /// Puts the entries in the order of `engineIds` (an engine's own shuffle); entries it does not
    /// name keep their place at the end.
    void reorder(const std::vector<std::int64_t>& engineIds);

  private:
    /// Rearranges to `order` (indexes into entries_), keeping the current and announced entries.
    void rearrange(const std::vector<std::size_t>& order);

    std::vector<Entry> entries_;
    std::vector<std::shared_ptr<MediaItem>> addedOrder_;
};

}  // namespace vk
