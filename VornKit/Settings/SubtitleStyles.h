// How subtitles look in the local player: vertical position, text size, drop shadow, background,
// colour and background opacity. Read from and written to the JSON text the web user interface
// stores under "localplayersubtitleappearance3".
//
// Decoding is lenient per field: a missing, null, mistyped or unknown value gives that field its
// default and decoding goes on; only input that is not a JSON object fails as a whole. Names are
// matched in any ASCII letter case, independent of the locale; an opacity text that is not a
// finite decimal number gives the default.
//
// Thread rule: a SubtitleStyles is a plain mutable object, externally synchronised. It is shared
// (std::shared_ptr) as a reference record; every read from the settings makes a fresh one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

enum class SubtitleTextSize : std::int64_t {
    smaller = 0,
    small = 1,
    normal = 2,
    large = 3,
    larger = 4,
    extralarge = 5,
};

enum class SubtitleDropShadow : std::int64_t {
    none = 0,
    raised = 1,
    depressed = 2,
    uniform = 3,
    dropShadow = 4,
};

/// Absent for integers outside the enumeration's range.
VK_EXPORT std::optional<SubtitleTextSize> makeSubtitleTextSize(std::int64_t rawValue);
VK_EXPORT std::optional<SubtitleDropShadow> makeSubtitleDropShadow(std::int64_t rawValue);

/// How subtitles look in the local player, as the web user interface stores it (see the top of
/// this file). Externally synchronised; shared as std::shared_ptr.
class VK_EXPORT SubtitleStyles {
  public:
    /// The styles, as the web user interface stores them: vertical position, text size, drop
    /// shadow, background and text colours (CSS colour texts) and background opacity (0 to 1).
    /// @{
    std::int64_t verticalPosition = 10;
    SubtitleTextSize textSize = SubtitleTextSize::normal;
    SubtitleDropShadow dropShadow = SubtitleDropShadow::dropShadow;
    std::string textBackground = "transparent";
    std::string textColor = "#ffffff";
    float textBackgroundOpacity = 1.0f;
    /// @}

    /// The defaults above.
    SubtitleStyles() = default;

    /// Absent only when `json` is not a JSON object; otherwise every field is read on its own.
    static std::shared_ptr<SubtitleStyles> decode(std::string_view json);
    /// All six keys, enumerations as their integer values, opacity as a JSON number (a NaN or
    /// infinite opacity as the default 1).
    std::string encode() const;

    /// All six fields equal.
    bool operator==(const SubtitleStyles&) const = default;
};

}  // namespace vk
