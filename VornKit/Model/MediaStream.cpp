#include "VornKit/Model/MediaStream.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Model/ValueTransformer.h"

namespace vk {

const FieldTable<MediaStream>& MediaStream::fieldTable() {
    using S = MediaStream;
    static const Immortal<FieldTable<S>> table(
        "MediaStream",
        {
            field<&S::Type>("Type", Presence::Optional),
            field<&S::DeliveryMethod>("DeliveryMethod", Presence::Optional),
            field<&S::Codec>("Codec", Presence::Optional),
            field<&S::CodecTag>("CodecTag", Presence::Optional),
            field<&S::Language>("Language", Presence::Optional),
            field<&S::Comment>("Comment", Presence::Optional),
            field<&S::TimeBase>("TimeBase", Presence::Optional),
            field<&S::CodecTimeBase>("CodecTimeBase", Presence::Optional),
            field<&S::Title>("Title", Presence::Optional),
            field<&S::DisplayTitle>("DisplayTitle", Presence::Optional),
            field<&S::NalLengthSize>("NalLengthSize", Presence::Optional),
            field<&S::ChannelLayout>("ChannelLayout", Presence::Optional),
            field<&S::Profile>("Profile", Presence::Optional),
            field<&S::AspectRatio>("AspectRatio", Presence::Optional),
            field<&S::Path>("Path", Presence::Optional),
            field<&S::ExternalId>("ExternalId", Presence::Optional),
            field<&S::PixelFormat>("PixelFormat", Presence::Optional),
            field<&S::DeliveryUrl>("DeliveryUrl", Presence::Optional),
            field<&S::Extradata>("Extradata", Presence::Optional),
            field<&S::IsInterlaced>("IsInterlaced", Presence::Optional),
            field<&S::IsAVC>("IsAVC", Presence::Optional),
            field<&S::IsDefault>("IsDefault", Presence::Optional),
            field<&S::IsForced>("IsForced", Presence::Optional),
            field<&S::IsExternal>("IsExternal", Presence::Optional),
            field<&S::SupportsExternalStream>("SupportsExternalStream", Presence::Optional),
            field<&S::IsAnamorphic>("IsAnamorphic", Presence::Optional),
            field<&S::BitDepth>("BitDepth", Presence::Optional),
            field<&S::RefFrames>("RefFrames", Presence::Optional),
            field<&S::PacketLength>("PacketLength", Presence::Optional),
            field<&S::Channels>("Channels", Presence::Optional),
            field<&S::SampleRate>("SampleRate", Presence::Optional),
            field<&S::Height>("Height", Presence::Optional),
            field<&S::Width>("Width", Presence::Optional),
            field<&S::Index>("Index", Presence::Optional),
            field<&S::Score>("Score", Presence::Optional),
            field<&S::AverageFrameRate>("AverageFrameRate", Presence::Optional),
            field<&S::RealFrameRate>("RealFrameRate", Presence::Optional),
            field<&S::Level>("Level", Presence::Optional),
        });
    return *table;
}

std::optional<MediaStream> MediaStream::initWithJson(std::string_view json) {
    return JsonDecoder().decode<MediaStream>(json).toOptional();
}

std::shared_ptr<const ValueTransformer> MediaStream::valueTransformer() {
    static const Immortal<std::shared_ptr<const ValueTransformer>> transformer(
        std::make_shared<const ValueTransformer>("MediaStream",
                                                 std::vector<std::string>{"MediaStream"}));
    return *transformer;
}

}  // namespace vk

VK_RECORD_CODING(vk::MediaStream)
