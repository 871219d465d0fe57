// DeviceInfo: the identity of this device and application, sent in the authorisation header of
// every request. A plain value, copied into each API client; it is never serialised.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <optional>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// This device's and application's identity as the server sees it (a plain value).
struct VK_EXPORT DeviceInfo {
    /// There is no default identity: every field is given.
    DeviceInfo(std::string deviceId, std::optional<std::string> deviceName,
               std::optional<std::string> appVersion, std::string appName)
        : deviceId(std::move(deviceId)),
          deviceName(std::move(deviceName)),
          appVersion(std::move(appVersion)),
          appName(std::move(appName)) {}

    std::string deviceId;                   ///< the stable device id
    std::optional<std::string> deviceName;  ///< the user-visible device name
    std::optional<std::string> appVersion;  ///< the application's version text
    std::string appName;                    ///< the application name

    /// Field-by-field equality.
    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

}  // namespace vk
