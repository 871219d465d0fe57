// UserItemDataDto: the signed-in user's state for one item (played, play count, resume position,
// favourite, like, rating). Every field is optional: absent keys and nulls read as absent, absent
// fields are left out of JSON and archived as null. `Likes` false is a value, distinct from absent.
// Its value transformer ("UserItemDataDto") allows the single record only.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/Text.h"

namespace vk {

class ValueTransformer;

/// The signed-in user's state for one item (a plain value).
struct VK_EXPORT UserItemDataDto {
    /// The user's state for the item, named as the server's JSON keys, all optional: rating,
    /// played percentage and position (ticks of 100 ns), play count, favourite, like, played.
    /// @{
    std::optional<double> Rating;
    std::optional<double> PlayedPercentage;
    std::optional<std::int64_t> UnplayedItemCount;
    std::optional<std::int64_t> PlaybackPositionTicks;
    std::optional<std::int64_t> PlayCount;
    std::optional<bool> IsFavorite;
    std::optional<bool> Likes;
    Text LastPlayedDate;  ///< the server's date text, unparsed
    std::optional<bool> Played;
    Text Key;
    Text ItemId;
    /// @}

    /// A flag callers may read: this record's keyed archives are always read with their classes
    /// checked, whatever it holds (nothing in the framework reads or changes it).
    static inline std::atomic<bool> supportsSecureCoding{true};
    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<UserItemDataDto>& fieldTable();
    /// The transformer registered as "UserItemDataDto".
    static std::shared_ptr<const ValueTransformer> valueTransformer();
    /// Field-by-field equality.
    friend bool operator==(const UserItemDataDto&, const UserItemDataDto&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::UserItemDataDto)
