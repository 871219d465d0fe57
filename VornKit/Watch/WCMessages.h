// WCMessage: one message of the watch link (a command, its creation time and at most two
// payloads), Command (the command names as they travel) and WCCommandError.
//
// Dictionary form (what the watch session carries):
//   "command"          the command's text                        always
//   "timestamp"        the creation time, a date value           always
//   "playbackData"     JSON of the playback payload, data value  when present and it encodes
//   "credentialsData"  JSON of the credentials, data value       when present and it encodes
//
// A message built in code must carry the payload its command needs (updateCredentials:
// credentials; startPlayback: playback data with items; sendPlayerCommand: playback data with a
// command; plyabackStateUpdate: playback data with a state); without it the process stops with a
// fatal error, a programming error. A received message is not held to that: fromMessage() only
// needs a known command and a date, and leaves a payload that does not decode absent.
//
// Thread rule: plain value; externally synchronised. Functions are thread-safe.
#pragma once

#include <optional>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Platform/Coding/PropertyList.h"
#include "VornKit/Watch/WCCredentialsData.h"
#include "VornKit/Watch/WCPlaybackData.h"

namespace vk {

/// The commands of the watch link; the wire texts are the case names as written (the state
/// update's misspelling included: peers match it exactly).
enum class Command : int {
    updateCredentials,
    getCredentials,
    startPlayback,
    sendPlayerCommand,
    plyabackStateUpdate,
};

/// The command's wire text.
VK_EXPORT std::string_view rawValue(Command command);
/// The command whose wire text is exactly `text`, or absent.
VK_EXPORT std::optional<Command> commandFromString(std::string_view text);

/// Why WCCommands sent nothing.
enum class WCCommandError {
    SessionNotActive,  ///< the session is not in the activated state: nothing was sent
};
/// The error's text for log lines.
VK_EXPORT std::string_view describe(WCCommandError error);

/// One message of the watch link: a command, its creation time and the payload the command needs
/// (see the top of this file). A plain value.
class VK_EXPORT WCMessage {
  public:
    /// A message stamped now. Stops the process when the payload `command` needs is missing.
    explicit WCMessage(Command command, std::optional<WCCredentialsData> credentialsData = {},
                       std::optional<WCPlaybackData> playbackData = {});

    /// The message a received dictionary holds, or absent (with a logged warning) when its
    /// "command" is not a known command text or its "timestamp" is not a date.
    static std::optional<WCMessage> fromMessage(const PlistDictionary& message);

    /// The dictionary form (above).
    PlistDictionary dictionary() const;

    /// When the message was made (as received, for a message read from a dictionary).
    Date timestamp() const { return timestamp_; }

    /// What the message asks or announces.
    Command command;
    /// The credentials payload ("updateCredentials").
    std::optional<WCCredentialsData> credentialsData;
    /// The playback payload (start playback, player command, playback state).
    std::optional<WCPlaybackData> playbackData;

  private:
    WCMessage(Command command, Date timestamp) : command(command), timestamp_(timestamp) {}

    Date timestamp_;
};

}  // namespace vk
