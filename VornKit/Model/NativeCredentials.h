// NativeCredentials: the list of known servers as the application's web user interface hands it
// over (the saved credentials text). "Servers" is required (it may be empty); the two Connect
// fields are optional.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/ServerInfo.h"

namespace vk {

/// The saved credentials text as a record: the known servers (a plain value).
struct VK_EXPORT NativeCredentials {
    /// The known servers, and the account of the user's connect service (both optional).
    /// @{
    std::vector<ServerInfo> Servers;
    std::optional<std::string> ConnectAccessToken;
    std::optional<std::string> ConnectUserId;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<NativeCredentials>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const NativeCredentials&, const NativeCredentials&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::NativeCredentials)
