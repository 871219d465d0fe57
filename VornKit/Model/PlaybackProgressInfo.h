// The bodies of the playback reports sent to the server: PlaybackProgressInfo (start and
// progress), PlaybackStopInfo (stop), QueueItem (one entry of the play queue), the enumerations
// ProgressEvent, RepeatMode and PlayMethod (written as their strings; an unknown string fails
// decoding), and PlaybackReportingInfo, the interface both report records share.
//
// JSON keys are the member names. Optional members are left out when absent, never written as
// null; every other member is always written and required when decoding.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

enum class ProgressEvent : int {
    TimeUpdate,
    Pause,
    Unpause,
    VolumeChange,
    RepeatModeChange,
    AudioTrackChange,
    SubtitleTrackChange,
    PlaylistItemMove,
    PlaylistItemRemove,
    PlaylistItemAdd,
    QualityChange,
    StateChange,
    SubtitleOffsetChange,
    PlaybackRateChange,
};

enum class RepeatMode : int { RepeatNone, RepeatAll, RepeatOne };

enum class PlayMethod : int { Transcode, DirectStream, DirectPlay };

VK_EXPORT const EnumCoding& enumCoding(ProgressEvent);
VK_EXPORT const EnumCoding& enumCoding(RepeatMode);
VK_EXPORT const EnumCoding& enumCoding(PlayMethod);

/// The JSON string of a case ("timeupdate", "RepeatAll", "directplay").
VK_EXPORT std::string_view jsonString(ProgressEvent value);
VK_EXPORT std::string_view jsonString(RepeatMode value);
VK_EXPORT std::string_view jsonString(PlayMethod value);
/// The case name ("TimeUpdate"), as log lines print it.
VK_EXPORT std::string_view caseName(ProgressEvent value);
/// Strict construction from the JSON string: absent for any other string.
VK_EXPORT std::optional<ProgressEvent> progressEventFromString(std::string_view text);
VK_EXPORT std::optional<RepeatMode> repeatModeFromString(std::string_view text);
VK_EXPORT std::optional<PlayMethod> playMethodFromString(std::string_view text);

/// One entry of the play queue in a report (a plain value).
struct VK_EXPORT QueueItem {
    QueueItem() = default;
    /// An entry for item `id` at the queue place `playlistItemId`.
    QueueItem(std::string id, std::string playlistItemId)
        : Id(std::move(id)), PlaylistItemId(std::move(playlistItemId)) {}

    /// The item's id and its place in the queue.
    /// @{
    std::string Id;
    std::string PlaylistItemId;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<QueueItem>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const QueueItem&, const QueueItem&) = default;
};

/// What both report records offer: JSON coding and a settable position.
class VK_EXPORT PlaybackReportingInfo {
  public:
    virtual ~PlaybackReportingInfo() = default;
    /// The playback position in ticks (100 ns), absent when unknown.
    virtual std::optional<std::int64_t> positionTicks() const = 0;
    /// Sets the position in ticks; absent leaves it out of the report.
    virtual void setPositionTicks(std::optional<std::int64_t> ticks) = 0;
    /// The record as compact JSON; absent when a value cannot be written (a NaN rate).
    virtual std::optional<std::string> encodedJson(const JsonEncoder& encoder = {}) const = 0;

  protected:
    PlaybackReportingInfo() = default;
    /// Copyable only as part of a report record.
    PlaybackReportingInfo(const PlaybackReportingInfo&) = default;
    /// Assignable only as part of a report record.
    PlaybackReportingInfo& operator=(const PlaybackReportingInfo&) = default;
};

/// The body of a start or progress report (a plain value).
struct VK_EXPORT PlaybackProgressInfo final : PlaybackReportingInfo {
    PlaybackProgressInfo() = default;
    /// A report with these members set, the optional ones absent, the rest at their defaults.
    PlaybackProgressInfo(bool canSeek, std::string itemId, std::string mediaSourceId, bool isPaused,
                         std::int64_t playlistIndex, std::int64_t playlistLength, bool isMuted,
                         std::string playSessionId, vk::RepeatMode repeatMode,
                         std::int64_t subtitleOffset)
        : CanSeek(canSeek),
          ItemId(std::move(itemId)),
          MediaSourceId(std::move(mediaSourceId)),
          IsPaused(isPaused),
          PlaylistIndex(playlistIndex),
          PlaylistLength(playlistLength),
          IsMuted(isMuted),
          PlaySessionId(std::move(playSessionId)),
          RepeatMode(repeatMode),
          SubtitleOffset(subtitleOffset) {}

    /// The report's fields, named as the server's JSON keys (optional ones are left out when
    /// absent). Ticks are 100 ns; `EventName` says what made the player report.
    /// @{
    bool CanSeek = false;
    std::shared_ptr<BaseItemDto> Item;
    std::optional<std::vector<QueueItem>> NowPlayingQueue;
    std::optional<std::string> PlaylistItemId;
    std::string ItemId;
    std::optional<std::string> SessionId;
    std::string MediaSourceId;
    std::optional<std::int64_t> AudioStreamIndex;
    std::optional<std::int64_t> SubtitleStreamIndex;
    bool IsPaused = false;
    std::int64_t PlaylistIndex = 0;
    std::int64_t PlaylistLength = 0;
    bool IsMuted = false;
    std::optional<std::int64_t> PositionTicks;
    std::optional<std::int64_t> RunTimeTicks;
    std::optional<std::int64_t> PlaybackStartTimeTicks;
    std::optional<std::int64_t> VolumeLevel;
    std::optional<std::int64_t> Brightness;
    std::optional<std::string> AspectRatio;
    ProgressEvent EventName = ProgressEvent::StateChange;
    std::optional<vk::PlayMethod> PlayMethod;
    std::optional<std::string> LiveStreamId;
    std::string PlaySessionId;
    vk::RepeatMode RepeatMode = vk::RepeatMode::RepeatNone;
    std::int64_t SubtitleOffset = 0;
    double PlaybackRate = 1.0;
    std::optional<std::vector<std::string>> PlaylistItemIds;
    /// @}

    std::optional<std::int64_t> positionTicks() const override { return PositionTicks; }
    void setPositionTicks(std::optional<std::int64_t> ticks) override { PositionTicks = ticks; }
    std::optional<std::string> encodedJson(const JsonEncoder& encoder = {}) const override;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<PlaybackProgressInfo>& fieldTable();
};

/// The body of a stop report (a plain value).
struct VK_EXPORT PlaybackStopInfo final : PlaybackReportingInfo {
    PlaybackStopInfo() = default;
    /// A report with these members set, the optional ones absent, the rest at their defaults.
    PlaybackStopInfo(std::int64_t playlistIndex, std::int64_t playlistLength, std::string itemId,
                     std::string mediaSourceId, std::string playSessionId)
        : PlaylistIndex(playlistIndex),
          PlaylistLength(playlistLength),
          ItemId(std::move(itemId)),
          MediaSourceId(std::move(mediaSourceId)),
          PlaySessionId(std::move(playSessionId)) {}

    /// The report's fields, named as the server's JSON keys (optional ones are left out when
    /// absent). Ticks are 100 ns; `Failed` says playback ended on an error.
    /// @{
    std::optional<std::vector<QueueItem>> NowPlayingQueue;
    std::optional<std::string> PlaylistItemId;
    std::int64_t PlaylistIndex = 0;
    std::int64_t PlaylistLength = 0;
    std::shared_ptr<BaseItemDto> Item;
    std::string ItemId;
    std::optional<std::string> SessionId;
    std::string MediaSourceId;
    std::optional<std::int64_t> PositionTicks;
    std::optional<std::string> LiveStreamId;
    std::string PlaySessionId;
    std::optional<bool> Failed;
    std::optional<std::string> NextMediaType;
    /// @}

    std::optional<std::int64_t> positionTicks() const override { return PositionTicks; }
    void setPositionTicks(std::optional<std::int64_t> ticks) override { PositionTicks = ticks; }
    std::optional<std::string> encodedJson(const JsonEncoder& encoder = {}) const override;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<PlaybackStopInfo>& fieldTable();
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::QueueItem)
VK_DECLARE_RECORD_CODING(vk::PlaybackProgressInfo)
VK_DECLARE_RECORD_CODING(vk::PlaybackStopInfo)
