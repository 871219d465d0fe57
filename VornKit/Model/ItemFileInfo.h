// ItemFileType and ItemFileInfo: the further files (images, subtitles) a sync job item brings
// besides its media file. ItemFileType is coded as its text ("Media", "Image", "Subtitles"; any
// other text fails). ItemFileInfo requires "Type", "Name" and "Index"; "Path" and "ImageType"
// are optional.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Model/ImageOptions.h"

namespace vk {

enum class ItemFileType : int { Media, Image, Subtitles };

VK_EXPORT const EnumCoding& enumCoding(ItemFileType);
VK_EXPORT std::optional<ItemFileType> itemFileTypeFromString(std::string_view text);

/// One further file of a sync job item (a plain value).
struct VK_EXPORT ItemFileInfo {
    /// The file's fields, named as the server's JSON keys: what the file is, its name and path on
    /// the server, and for images their type and index.
    /// @{
    ItemFileType Type = ItemFileType::Media;
    std::string Name;
    std::optional<std::string> Path;
    std::optional<vk::ImageType> ImageType;
    std::int64_t Index = 0;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<ItemFileInfo>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const ItemFileInfo&, const ItemFileInfo&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::ItemFileInfo)
