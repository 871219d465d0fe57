#include "VornKit/Model/MediaSourceInfo.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

const FieldTable<MediaSourceInfo>& MediaSourceInfo::fieldTable() {
    using M = MediaSourceInfo;
    static const Immortal<FieldTable<M>> table(
        "MediaSourceInfo",
        {
            field<&M::Type>("Type", Presence::Optional),
            field<&M::MediaStreams>("MediaStreams", Presence::Required),
            field<&M::Id>("Id", Presence::Optional),
            field<&M::Path>("Path", Presence::Optional),
            field<&M::Container>("Container", Presence::Optional),
            field<&M::Name>("Name", Presence::Optional),
            field<&M::ETag>("ETag", Presence::Optional),
            field<&M::OpenToken>("OpenToken", Presence::Optional),
            field<&M::LiveStreamId>("LiveStreamId", Presence::Optional),
            field<&M::StreamUrl>("StreamUrl", Presence::Optional),
            field<&M::IsRemote>("IsRemote", Presence::Optional),
            field<&M::ReadAtNativeFramerate>("ReadAtNativeFramerate", Presence::Optional),
            field<&M::SupportsTranscoding>("SupportsTranscoding", Presence::Optional),
            field<&M::SupportsDirectStream>("SupportsDirectStream", Presence::Optional),
            field<&M::SupportsDirectPlay>("SupportsDirectPlay", Presence::Optional),
            field<&M::IsInfiniteStream>("IsInfiniteStream", Presence::Optional),
            field<&M::RequiresOpening>("RequiresOpening", Presence::Optional),
            field<&M::RequiresClosing>("RequiresClosing", Presence::Optional),
            field<&M::RunTimeTicks>("RunTimeTicks", Presence::Optional),
            field<&M::BufferMs>("BufferMs", Presence::Optional),
            field<&M::DefaultAudioStreamIndex>("DefaultAudioStreamIndex", Presence::Optional),
            field<&M::DefaultSubtitleStreamIndex>("DefaultSubtitleStreamIndex", Presence::Optional),
        });
    return *table;
}

std::optional<MediaSourceInfo> MediaSourceInfo::initWithJson(std::string_view json) {
    auto result = JsonDecoder().decode<MediaSourceInfo>(json);
    if (!result) {
        static const Immortal<Logger> logger("MediaSourceInfo");
        logger->log("Error deserializing MediaSourceInfo " + result.error().description());
        return std::nullopt;
    }
    return std::move(result).toOptional();
}

std::optional<MediaSourceInfo> MediaSourceInfo::deepCopy() const {
    auto json = JsonEncoder().encode(*this);
    if (!json)
        return std::nullopt;
    return JsonDecoder().decode<MediaSourceInfo>(*json).toOptional();
}

std::shared_ptr<const ValueTransformer> MediaSourceInfo::valueTransformer() {
    static const Immortal<std::shared_ptr<const ValueTransformer>> transformer(
        std::make_shared<const ValueTransformer>(
            "MediaSourceInfo",
            std::vector<std::string>{"MediaSourceInfo", "NSArray", "MediaStream"}));
    return *transformer;
}

}  // namespace vk

VK_RECORD_CODING(vk::MediaSourceInfo)
