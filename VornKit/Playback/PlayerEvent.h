// PlayerEvent: the player state changes the watch link names by string: "fileDidLoad",
// "fileDidEnd", "paused", "unpaused", "shutdown". Written to and read from JSON as that string; any
// other string is no PlayerEvent (decoding fails with data corrupted).
//
// Thread rule: plain value.
#pragma once

#include <optional>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/EnumCoding.h"

namespace vk {

enum class PlayerEvent : int {
    fileDidLoad,
    fileDidEnd,
    paused,
    unpaused,
    shutdown,
};

VK_EXPORT const EnumCoding& enumCoding(PlayerEvent);
/// The event's string ("fileDidLoad").
VK_EXPORT std::string_view rawValue(PlayerEvent event);
/// The event named by `text`, or absent for any other string.
VK_EXPORT std::optional<PlayerEvent> playerEventFromString(std::string_view text);

}  // namespace vk
