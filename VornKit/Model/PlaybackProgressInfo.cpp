#include "VornKit/Model/PlaybackProgressInfo.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {

template <class E>
bool decodeText(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    return decodeJsonEnumText(h, enumCoding(E{}), value, ctx);
}

template <class E>
std::optional<E> fromString(std::string_view text) {
    auto value = enumCoding(E{}).fromText(text);
    if (!value)
        return std::nullopt;
    return static_cast<E>(*value);
}

}  // namespace

const EnumCoding& enumCoding(ProgressEvent) {
    using P = ProgressEvent;
    static const Immortal<EnumCoding> coding(EnumCoding{
        "ProgressEvent",
        true,
        {
            {static_cast<int>(P::TimeUpdate), "TimeUpdate", "timeupdate"},
            {static_cast<int>(P::Pause), "Pause", "pause"},
            {static_cast<int>(P::Unpause), "Unpause", "unpause"},
            {static_cast<int>(P::VolumeChange), "VolumeChange", "volumechange"},
            {static_cast<int>(P::RepeatModeChange), "RepeatModeChange", "repeatmodechange"},
            {static_cast<int>(P::AudioTrackChange), "AudioTrackChange", "audiotrackchange"},
            {static_cast<int>(P::SubtitleTrackChange), "SubtitleTrackChange",
             "subtitletrackchange"},
            {static_cast<int>(P::PlaylistItemMove), "PlaylistItemMove", "playlistitemmove"},
            {static_cast<int>(P::PlaylistItemRemove), "PlaylistItemRemove", "playlistitemremove"},
            {static_cast<int>(P::PlaylistItemAdd), "PlaylistItemAdd", "playlistitemadd"},
            {static_cast<int>(P::QualityChange), "QualityChange", "qualitychange"},
            {static_cast<int>(P::StateChange), "StateChange", "statechange"},
            {static_cast<int>(P::SubtitleOffsetChange), "SubtitleOffsetChange",
             "subtitleoffsetchange"},
            {static_cast<int>(P::PlaybackRateChange), "PlaybackRateChange", "playbackratechange"},
        },
        decodeText<ProgressEvent>});
    return *coding;
}

const EnumCoding& enumCoding(RepeatMode) {
    static const Immortal<EnumCoding> coding(EnumCoding{"RepeatMode",
                                                        true,
                                                        {
                                                            {0, "RepeatNone", "RepeatNone"},
                                                            {1, "RepeatAll", "RepeatAll"},
                                                            {2, "RepeatOne", "RepeatOne"},
                                                        },
                                                        decodeText<RepeatMode>});
    return *coding;
}

const EnumCoding& enumCoding(PlayMethod) {
    static const Immortal<EnumCoding> coding(EnumCoding{"PlayMethod",
                                                        true,
                                                        {
                                                            {0, "Transcode", "transcode"},
                                                            {1, "DirectStream", "directstream"},
                                                            {2, "DirectPlay", "directplay"},
                                                        },
                                                        decodeText<PlayMethod>});
    return *coding;
}

std::string_view jsonString(ProgressEvent value) {
    return enumCoding(value).text(static_cast<int>(value));
}
std::string_view jsonString(RepeatMode value) {
    return enumCoding(value).text(static_cast<int>(value));
}
std::string_view jsonString(PlayMethod value) {
    return enumCoding(value).text(static_cast<int>(value));
}
std::string_view caseName(ProgressEvent value) {
    return enumCoding(value).name(static_cast<int>(value));
}
std::optional<ProgressEvent> progressEventFromString(std::string_view text) {
    return fromString<ProgressEvent>(text);
}
std::optional<RepeatMode> repeatModeFromString(std::string_view text) {
    return fromString<RepeatMode>(text);
}
std::optional<PlayMethod> playMethodFromString(std::string_view text) {
    return fromString<PlayMethod>(text);
}

const FieldTable<QueueItem>& QueueItem::fieldTable() {
    static const Immortal<FieldTable<QueueItem>> table(
        "QueueItem", {
                         field<&QueueItem::Id>("Id", Presence::Required),
                         field<&QueueItem::PlaylistItemId>("PlaylistItemId", Presence::Required),
                     });
    return *table;
}

const FieldTable<PlaybackProgressInfo>& PlaybackProgressInfo::fieldTable() {
    using P = PlaybackProgressInfo;
    static const Immortal<FieldTable<P>> table(
        "PlaybackProgressInfo",
        {
            field<&P::CanSeek>("CanSeek", Presence::Required),
            field<&P::Item>("Item", Presence::Optional),
            field<&P::NowPlayingQueue>("NowPlayingQueue", Presence::Optional),
            field<&P::PlaylistItemId>("PlaylistItemId", Presence::Optional),
            field<&P::ItemId>("ItemId", Presence::Required),
            field<&P::SessionId>("SessionId", Presence::Optional),
            field<&P::MediaSourceId>("MediaSourceId", Presence::Required),
            field<&P::AudioStreamIndex>("AudioStreamIndex", Presence::Optional),
            field<&P::SubtitleStreamIndex>("SubtitleStreamIndex", Presence::Optional),
            field<&P::IsPaused>("IsPaused", Presence::Required),
            field<&P::PlaylistIndex>("PlaylistIndex", Presence::Required),
            field<&P::PlaylistLength>("PlaylistLength", Presence::Required),
            field<&P::IsMuted>("IsMuted", Presence::Required),
            field<&P::PositionTicks>("PositionTicks", Presence::Optional),
            field<&P::RunTimeTicks>("RunTimeTicks", Presence::Optional),
            field<&P::PlaybackStartTimeTicks>("PlaybackStartTimeTicks", Presence::Optional),
            field<&P::VolumeLevel>("VolumeLevel", Presence::Optional),
            field<&P::Brightness>("Brightness", Presence::Optional),
            field<&P::AspectRatio>("AspectRatio", Presence::Optional),
            field<&P::EventName>("EventName", Presence::Required),
            field<&P::PlayMethod>("PlayMethod", Presence::Optional),
            field<&P::LiveStreamId>("LiveStreamId", Presence::Optional),
            field<&P::PlaySessionId>("PlaySessionId", Presence::Required),
            field<&P::RepeatMode>("RepeatMode", Presence::Required),
            field<&P::SubtitleOffset>("SubtitleOffset", Presence::Required),
            field<&P::PlaybackRate>("PlaybackRate", Presence::Required),
            field<&P::PlaylistItemIds>("PlaylistItemIds", Presence::Optional),
        });
    return *table;
}

const FieldTable<PlaybackStopInfo>& PlaybackStopInfo::fieldTable() {
    using P = PlaybackStopInfo;
    static const Immortal<FieldTable<P>> table(
        "PlaybackStopInfo", {
                                field<&P::NowPlayingQueue>("NowPlayingQueue", Presence::Optional),
                                field<&P::PlaylistItemId>("PlaylistItemId", Presence::Optional),
                                field<&P::PlaylistIndex>("PlaylistIndex", Presence::Required),
                                field<&P::PlaylistLength>("PlaylistLength", Presence::Required),
                                field<&P::Item>("Item", Presence::Optional),
                                field<&P::ItemId>("ItemId", Presence::Required),
                                field<&P::SessionId>("SessionId", Presence::Optional),
                                field<&P::MediaSourceId>("MediaSourceId", Presence::Required),
                                field<&P::PositionTicks>("PositionTicks", Presence::Optional),
                                field<&P::LiveStreamId>("LiveStreamId", Presence::Optional),
                                field<&P::PlaySessionId>("PlaySessionId", Presence::Required),
                                field<&P::Failed>("Failed", Presence::Optional),
                                field<&P::NextMediaType>("NextMediaType", Presence::Optional),
                            });
    return *table;
}

std::optional<std::string> PlaybackProgressInfo::encodedJson(const JsonEncoder& encoder) const {
    return encoder.encode(*this);
}

std::optional<std::string> PlaybackStopInfo::encodedJson(const JsonEncoder& encoder) const {
    return encoder.encode(*this);
}

}  // namespace vk

VK_RECORD_CODING(vk::QueueItem)
VK_RECORD_CODING(vk::PlaybackProgressInfo)
VK_RECORD_CODING(vk::PlaybackStopInfo)
