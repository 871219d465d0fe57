#include "VornKit/Model/ImageOptions.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {

constexpr std::string_view kImageTypeNames[] = {"Primary",    "Art",   "Backdrop", "Banner",
                                                "Logo",       "Thumb", "Disc",     "Box",
                                                "Screenshot", "Menu",  "Chapter",  "BoxRear"};

bool decodeImageType(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    std::int64_t raw = 0;
    if (!decodeJsonInteger(h, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), "ImageType", raw, ctx)) {
        return false;
    }
    if (!imageTypeFromRaw(raw)) {
        return ctx.fail(
            DecodingErrorKind::DataCorrupted,
            "Cannot initialize ImageType from invalid Int value " + std::to_string(raw));
    }
    value = raw;
    return true;
}

}  // namespace

std::optional<ImageType> imageTypeFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 11)
        return std::nullopt;
    return static_cast<ImageType>(raw);
}

std::string_view imageTypeName(ImageType type) {
    auto index = static_cast<std::size_t>(type);
    return index < std::size(kImageTypeNames) ? kImageTypeNames[index] : std::string_view();
}

const EnumCoding& enumCoding(ImageType) {
    static const Immortal<EnumCoding> coding(std::in_place, [] {
        EnumCoding c{"ImageType", false, {}, decodeImageType};
        for (std::size_t i = 0; i < std::size(kImageTypeNames); ++i) {
            c.cases.push_back({static_cast<std::int64_t>(i), kImageTypeNames[i], {}});
        }
        return c;
    });
    return *coding;
}

const FieldTable<ImageOptions>& ImageOptions::fieldTable() {
    using O = ImageOptions;
    static const Immortal<FieldTable<O>> table(
        "ImageOptions",
        {
            field<&O::ImageType>("ImageType", Presence::Required),
            field<&O::ImageIndex>("ImageIndex", Presence::Optional),
            field<&O::Width>("Width", Presence::Optional),
            field<&O::Height>("Height", Presence::Optional),
            field<&O::MaxWidth>("MaxWidth", Presence::Optional),
            field<&O::MaxHeight>("MaxHeight", Presence::Optional),
            field<&O::Quality>("Quality", Presence::Optional),
            field<&O::Tag>("Tag", Presence::Optional),
            field<&O::CropWhitespace>("CropWhitespace", Presence::Optional),
            field<&O::EnableImageEnhancers>("EnableImageEnhancers", Presence::Optional),
            field<&O::AddPlayedIndicator>("AddPlayedIndicator", Presence::Optional),
            field<&O::PercentPlayed>("PercentPlayed", Presence::Optional),
            field<&O::UnPlayedCount>("UnPlayedCount", Presence::Optional),
            field<&O::BackgroundColor>("BackgroundColor", Presence::Optional),
        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::ImageOptions)
