// WCCredentialsData: the saved server credentials as the companion device receives them, the
// payload of an "updateCredentials" message. JSON {"credentials": <NativeCredentials>}; the key
// is required.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include "VornKit/Export.h"
#include "VornKit/Model/NativeCredentials.h"

namespace vk {

/// The payload of an "updateCredentials" watch message: the saved server credentials. A plain
/// value.
struct VK_EXPORT WCCredentialsData {
    /// The credentials (required in JSON).
    NativeCredentials credentials;

    WCCredentialsData() = default;
    /// A payload carrying `credentials`.
    explicit WCCredentialsData(NativeCredentials credentials)
        : credentials(std::move(credentials)) {}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<WCCredentialsData>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const WCCredentialsData&, const WCCredentialsData&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::WCCredentialsData)
