// EndpointInfo: the server's answer to "System/Endpoint": whether this client is inside the
// server's network and whether it is on the server's own machine. Both keys are required.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

/// Where this client stands relative to the server (a plain value).
struct VK_EXPORT EndpointInfo {
    /// Whether the server sees this client in its own network, and on the same machine.
    /// @{
    bool IsInNetwork = false;
    bool IsLocal = false;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<EndpointInfo>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const EndpointInfo&, const EndpointInfo&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::EndpointInfo)
