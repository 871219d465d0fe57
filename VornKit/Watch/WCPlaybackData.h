// WCPlaybackData and WCPlaybackStateUpdateData: the playback payload of a watch message: items to
// start playing, a player command, or the player's state.
//
// WCPlaybackStateUpdateData: JSON {"playerEvent": <PlayerEvent text>, "currentItemJson": <text>,
// "currentPlayQueueJson": <text>}; the event is required, the two texts optional. The texts are
// MediaItem JSON (one item, a list of items) kept as written; read them through currentItem()
// and currentPlayQueue().
//
// WCPlaybackData: JSON {"items": [BaseItemDto...], "startIndex": n, "command":
// <PlayerCommandWrapper>, "playbackState": <WCPlaybackStateUpdateData>}; "startIndex" is
// required, the others optional. Decoded items are free-standing records (no store context).
//
// Thread rule: plain values; externally synchronised. The MediaItem objects the accessors return
// are new and belong to the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Playback/MediaItem.h"
#include "VornKit/Playback/PlayerEvent.h"
#include "VornKit/Watch/PlayerCommand.h"

namespace vk {

/// The player's state sent to the companion device: the event, and the current item and play
/// queue kept as their MediaItem JSON. A plain value.
class VK_EXPORT WCPlaybackStateUpdateData {
  public:
    /// A decoding placeholder: event fileDidLoad, no item, no queue.
    WCPlaybackStateUpdateData() = default;
    /// Keeps the JSON texts of `currentItem` and `currentPlayQueue`; a value that gives no text
    /// (absent, or its writing failed) leaves that text absent.
    WCPlaybackStateUpdateData(
        PlayerEvent playerEvent, const std::shared_ptr<MediaItem>& currentItem,
        const std::optional<std::vector<std::shared_ptr<MediaItem>>>& currentPlayQueue);

    /// The player event this update reports.
    PlayerEvent playerEvent() const { return playerEvent_; }
    /// The item read from its text: nullptr when there is no text.
    std::shared_ptr<MediaItem> currentItem() const;
    /// The items read from their text: absent when there is no text, empty on bad text.
    std::optional<std::vector<std::shared_ptr<MediaItem>>> currentPlayQueue() const;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<WCPlaybackStateUpdateData>& fieldTable();
    /// Same event and the same item and queue texts.
    friend bool operator==(const WCPlaybackStateUpdateData&,
                           const WCPlaybackStateUpdateData&) = default;

  private:
    PlayerEvent playerEvent_ = PlayerEvent::fileDidLoad;
    std::optional<std::string> currentItemJson_;
    std::optional<std::string> currentPlayQueueJson_;
};

/// The playback payload of a watch message: items to start playing, a player command, or the
/// player's state. A plain value.
struct VK_EXPORT WCPlaybackData {
    /// Items to start playing, free-standing records.
    std::optional<std::vector<std::shared_ptr<BaseItemDto>>> items;
    /// Where in `items` to start (required in JSON).
    std::int64_t startIndex = 0;
    /// A command for the player.
    std::optional<PlayerCommandWrapper> command;
    /// The player's state.
    std::optional<WCPlaybackStateUpdateData> playbackState;

    /// Nothing but startIndex 0 (what decoding starts from).
    WCPlaybackData() = default;
    /// Items to play from `startIndex`.
    WCPlaybackData(std::vector<std::shared_ptr<BaseItemDto>> items, std::int64_t startIndex = 0)
        : items(std::move(items)), startIndex(startIndex) {}
    /// A payload carrying only `command`.
    explicit WCPlaybackData(PlayerCommandWrapper command) : command(std::move(command)) {}
    /// A payload carrying only `playbackState`.
    explicit WCPlaybackData(WCPlaybackStateUpdateData playbackState)
        : playbackState(std::move(playbackState)) {}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<WCPlaybackData>& fieldTable();
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::WCPlaybackStateUpdateData)
VK_DECLARE_RECORD_CODING(vk::WCPlaybackData)
