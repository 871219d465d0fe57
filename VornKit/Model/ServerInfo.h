// ServerInfo: one known media server: its id and name, up to three addresses, the user's access
// token there and how it was last reached. ConnectionMode: how a server was last reached.
//
// JSON keys are the member names. "Id" and "Name" are required; every other key is optional and
// left out when absent. "LastConnectionMode" is a bare number: 1-4 map to the cases, any other
// integer to `unknown`, a non-integer fails the record. "DateLastAccessed" follows the
// decoder's/encoder's date strategy (the credentials text uses milliseconds since 1970).
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

enum class ConnectionMode : int {
    local = 1,
    remote = 2,
    manual = 3,
    unknown = 4,
};

/// Strict construction from a raw value: absent outside 1-4.
VK_EXPORT std::optional<ConnectionMode> connectionModeFromRaw(std::int64_t raw);
VK_EXPORT const EnumCoding& enumCoding(ConnectionMode);

/// One known server and how to reach it (a plain value).
struct VK_EXPORT ServerInfo {
    /// The server's fields, named as its JSON keys (see the top of this file): its access token,
    /// id and name, its three addresses, how it was last reached and when.
    /// @{
    std::optional<std::string> AccessToken;
    std::string Id;
    std::optional<ConnectionMode> LastConnectionMode;
    std::string Name;
    std::optional<std::string> LocalAddress;
    std::optional<std::string> ManualAddress;
    std::optional<std::string> RemoteAddress;
    std::optional<std::string> Type;
    std::optional<std::string> UserId;
    std::optional<Date> DateLastAccessed;
    /// @}

    /// The identity value.
    const std::string& id() const { return Id; }

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<ServerInfo>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const ServerInfo&, const ServerInfo&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::ServerInfo)
