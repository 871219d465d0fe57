// ImageType: the kind of an item image, with its integer raw value and the name used in image
// URLs. ImageOptions: how to scale and decorate an item image (each option becomes a query
// parameter of the image URL).
//
// In JSON an ImageType is its raw value; a raw value outside 0-11 fails decoding. ImageOptions'
// keys are its member names: "ImageType" is required and always written, the rest optional.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

enum class ImageType : int {
    Primary = 0,
    Art = 1,
    Backdrop = 2,
    Banner = 3,
    Logo = 4,
    Thumb = 5,
    Disc = 6,
    Box = 7,
    Screenshot = 8,
    Menu = 9,
    Chapter = 10,
    BoxRear = 11,
};

/// Absent for raw values outside 0-11.
VK_EXPORT std::optional<ImageType> imageTypeFromRaw(std::int64_t raw);
/// The name used in URLs ("Primary", "BoxRear").
VK_EXPORT std::string_view imageTypeName(ImageType type);
VK_EXPORT const EnumCoding& enumCoding(ImageType);

/// How an item image is asked for; each present option becomes a query parameter.
struct VK_EXPORT ImageOptions {
    ImageOptions() = default;
    /// Options for an image of `imageType`, every other option absent.
    explicit ImageOptions(vk::ImageType imageType) : ImageType(imageType) {}

    /// The options: `ImageType` and `ImageIndex` name the image in the URL's path, the others are
    /// query parameters of the same name; absent ones are not sent. Sizes are pixels, `Tag` is
    /// the image's cache key (the item's ImageTags).
    /// @{
    vk::ImageType ImageType = vk::ImageType::Primary;
    std::optional<std::int64_t> ImageIndex;
    std::optional<std::int64_t> Width;
    std::optional<std::int64_t> Height;
    std::optional<std::int64_t> MaxWidth;
    std::optional<std::int64_t> MaxHeight;
    std::optional<std::int64_t> Quality;
    std::optional<std::string> Tag;
    std::optional<bool> CropWhitespace;
    std::optional<bool> EnableImageEnhancers;
    std::optional<bool> AddPlayedIndicator;
    std::optional<std::int64_t> PercentPlayed;
    std::optional<std::int64_t> UnPlayedCount;
    std::optional<std::string> BackgroundColor;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<ImageOptions>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const ImageOptions&, const ImageOptions&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::ImageOptions)
