#include "VornKit/Model/ItemFileInfo.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {

bool decodeItemFileType(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    return decodeJsonEnumText(h, enumCoding(ItemFileType{}), value, ctx);
}

}  // namespace

const EnumCoding& enumCoding(ItemFileType) {
    static const Immortal<EnumCoding> coding(EnumCoding{"ItemFileType",
                                                        true,
                                                        {
                                                            {0, "Media", "Media"},
                                                            {1, "Image", "Image"},
                                                            {2, "Subtitles", "Subtitles"},
                                                        },
                                                        decodeItemFileType});
    return *coding;
}

std::optional<ItemFileType> itemFileTypeFromString(std::string_view text) {
    auto value = enumCoding(ItemFileType{}).fromText(text);
    if (!value)
        return std::nullopt;
    return static_cast<ItemFileType>(*value);
}

const FieldTable<ItemFileInfo>& ItemFileInfo::fieldTable() {
    using F = ItemFileInfo;
    static const Immortal<FieldTable<F>> table(
        "ItemFileInfo", {
                            field<&F::Type>("Type", Presence::Required),
                            field<&F::Name>("Name", Presence::Required),
                            field<&F::Path>("Path", Presence::Optional),
                            field<&F::ImageType>("ImageType", Presence::Optional),
                            field<&F::Index>("Index", Presence::Required),
                        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::ItemFileInfo)
