#include "VornKit/Watch/WCMessages.h"

#include <array>
#include <utility>

#include "VornKit/Platform/Runtime/FatalError.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr std::string_view kSourcePath = "VornKit/WCMessages";

constexpr std::array<std::pair<Command, std::string_view>, 5> kCommands{{
    {Command::updateCredentials, "updateCredentials"},
    {Command::getCredentials, "getCredentials"},
    {Command::startPlayback, "startPlayback"},
    {Command::sendPlayerCommand, "sendPlayerCommand"},
    {Command::plyabackStateUpdate, "plyabackStateUpdate"},
}};

const Logger& logger() {
    static const Logger log("WCMessage");
    return log;
}

/// The payload's JSON as a data value, or absent when it does not encode.
template <class T>
std::optional<PlistValue> encodedPayload(const T& payload) {
    auto json = JsonEncoder().encode(payload);
    if (!json)
        return std::nullopt;
    return PlistValue(PlistValue::Data(json->begin(), json->end()));
}

/// The payload under `key` when it is a data value holding its JSON, else absent.
template <class T>
std::optional<T> decodedPayload(const PlistDictionary& message, const char* key) {
    auto found = message.find(key);
    if (found == message.end() || found->second.data() == nullptr)
        return std::nullopt;
    const auto& bytes = *found->second.data();
    std::string json(bytes.begin(), bytes.end());
    JsonDecoder::reservePadding(json);
    return JsonDecoder().decode<T>(json).toOptional();
}

}  // namespace

std::string_view rawValue(Command command) {
    for (const auto& [c, text] : kCommands) {
        if (c == command)
            return text;
    }
    return {};
}

std::optional<Command> commandFromString(std::string_view text) {
    for (const auto& [c, name] : kCommands) {
        if (name == text)
            return c;
    }
    return std::nullopt;
}

std::string_view describe(WCCommandError error) {
    switch (error) {
        case WCCommandError::SessionNotActive:
            return "SessionNotActive";
    }
    return "unknown";
}

WCMessage::WCMessage(Command command, std::optional<WCCredentialsData> credentialsData,
                     std::optional<WCPlaybackData> playbackData)
    : command(command),
      credentialsData(std::move(credentialsData)),
      playbackData(std::move(playbackData)),
      // Whole microseconds: what a date value on the wire keeps, so a message read back from its
      // dictionary has the same timestamp.
      timestamp_(std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now())) {
    switch (command) {
        case Command::updateCredentials:
            if (!this->credentialsData) {
                fatalError(
                    "WCSession: Failed to provide WCCredentialsData for updateCredentials command.",
                    kSourcePath);
            }
            break;
        case Command::getCredentials:
            break;
        case Command::startPlayback:
            if (!this->playbackData || !this->playbackData->items) {
                fatalError("WCSession: Failed to provide BaseItemDto for startPlayback command.",
                           kSourcePath);
            }
            break;
        case Command::sendPlayerCommand:
            if (!this->playbackData || !this->playbackData->command) {
                fatalError(
                    "WCSession: Failed to provide PlayerCommandWrapper for sendPlayerCommand.",
                    kSourcePath);
            }
            break;
        case Command::plyabackStateUpdate:
            if (!this->playbackData || !this->playbackData->playbackState) {
                fatalError(
                    "WCSession: Failed to provide WCPlaybackStateUpdateData for "
                    "plyabackStateUpdate command.",
                    kSourcePath);
            }
            break;
    }
}

std::optional<WCMessage> WCMessage::fromMessage(const PlistDictionary& message) {
    std::optional<Command> command;
    if (auto found = message.find("command"); found != message.end() && found->second.string())
        command = commandFromString(*found->second.string());
    if (!command) {
        logger().log("Warning: WCMessage missing command! " + describePlist(message));
        return std::nullopt;
    }
    auto stamp = message.find("timestamp");
    if (stamp == message.end() || stamp->second.date() == nullptr) {
        logger().log("Warning: WCMessage missing timestamp! " + describePlist(message));
        return std::nullopt;
    }
    WCMessage parsed(*command, *stamp->second.date());
    parsed.playbackData = decodedPayload<WCPlaybackData>(message, "playbackData");
    parsed.credentialsData = decodedPayload<WCCredentialsData>(message, "credentialsData");
    return parsed;
}

PlistDictionary WCMessage::dictionary() const {
    PlistDictionary out;
    out.emplace("command", PlistValue(rawValue(command)));
    out.emplace("timestamp", PlistValue(timestamp_));
    if (playbackData) {
        if (auto data = encodedPayload(*playbackData))
            out.emplace("playbackData", std::move(*data));
    }
    if (credentialsData) {
        if (auto data = encodedPayload(*credentialsData))
            out.emplace("credentialsData", std::move(*data));
    }
    return out;
}

}  // namespace vk
