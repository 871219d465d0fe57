// PlayerCommand, PlayerCommandArg and PlayerCommandWrapper: a command the companion device sends
// to the player ("nextTrack", "playAtIndex" with 3, ...).
//
// PlayerCommand is coded as its text; any other text fails decoding. PlayerCommandArg is one
// JSON value: a number for `int`, a text for `string`. Decoding tries an integer first, then a
// text; anything else (3.5, true, an object, an array) fails with "Decoding Failed.", which makes
// the enclosing payload fail too. PlayerCommandWrapper requires "command"; "arg" is optional and
// left out when absent.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "VornKit/Export.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Platform/Coding/PropertyList.h"

namespace vk {

/// What the companion device asks the player to do; coded as the enumerator's text.
enum class PlayerCommand : int {
    destroyPlayer,
    stop,
    playAtIndex,
    playPause,
    nextTrack,
    prevTrack,
};

/// The coding of PlayerCommand (its texts), found by argument-dependent lookup.
VK_EXPORT const EnumCoding& enumCoding(PlayerCommand);
/// The command's text ("nextTrack").
VK_EXPORT std::string_view rawValue(PlayerCommand command);
/// The command named by `text` (exact match), or absent.
VK_EXPORT std::optional<PlayerCommand> playerCommandFromString(std::string_view text);

/// A command's argument: an integer (`int_`) or a text (`string`). A plain value.
class VK_EXPORT PlayerCommandArg {
  public:
    /// The message of the error a value that is neither an integer nor a text fails with.
    static constexpr std::string_view kDecodingFailed = "Decoding Failed.";

    /// The two kinds of argument.
    enum class Case { int_, string };

    /// The integer 0.
    PlayerCommandArg() = default;
    /// An argument of each case.
    /// @{
    static PlayerCommandArg int_(std::int64_t value) { return PlayerCommandArg(value); }
    static PlayerCommandArg string(std::string value) { return PlayerCommandArg(std::move(value)); }
    /// @}

    /// Which case the argument is.
    Case kind() const { return payload_.index() == 0 ? Case::int_ : Case::string; }
    /// The payload when it is of that case, else nullptr.
    /// @{
    const std::int64_t* intValue() const { return std::get_if<std::int64_t>(&payload_); }
    const std::string* stringValue() const { return std::get_if<std::string>(&payload_); }
    /// @}
    /// The payload as a property-list value: an integer for `int`, a text for `string`.
    PlistValue value() const;

    /// Same case and same payload.
    friend bool operator==(const PlayerCommandArg&, const PlayerCommandArg&) = default;

  private:
    explicit PlayerCommandArg(std::int64_t value) : payload_(value) {}
    explicit PlayerCommandArg(std::string value) : payload_(std::move(value)) {}

    std::variant<std::int64_t, std::string> payload_;
};

/// A command with its optional argument, as a watch message carries it. A plain value.
struct VK_EXPORT PlayerCommandWrapper {
    /// The command (required in JSON).
    PlayerCommand command = PlayerCommand::stop;
    /// Its argument ("playAtIndex" takes the index); absent for most commands.
    std::optional<PlayerCommandArg> arg;

    PlayerCommandWrapper() = default;
    /// `command` with `arg`.
    PlayerCommandWrapper(PlayerCommand command, std::optional<PlayerCommandArg> arg)
        : command(command), arg(std::move(arg)) {}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<PlayerCommandWrapper>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const PlayerCommandWrapper&, const PlayerCommandWrapper&) = default;
};

}  // namespace vk

extern template const ::vk::TypeCoding& ::vk::typeCoding<vk::PlayerCommandArg>();
VK_DECLARE_RECORD_CODING(vk::PlayerCommandWrapper)
