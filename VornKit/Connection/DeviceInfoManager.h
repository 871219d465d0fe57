// DeviceInfoManager: the identity this device and application give every server: a stable device
// id kept in the keychain ("VORN_DEVICE_UUID"), the user-visible device name, the application's
// version and its fixed name.
//
// Device id: the keychain entry when there is one; otherwise the legacy id (the standard user
// defaults' "CDVUUID", else the per-vendor identifier of this machine, else a random UUID, written
// to the defaults) is stored in the keychain and used. The per-vendor identifier is derived from
// /etc/machine-id for VornKit's vendor id (MachineIdentity), as upper-case canonical UUID text.
//
// Logging: printf-style lines on the plain console log, category "DeviceInfoManager": "DeviceId
// %@" when the id is first taken, "Running on %@" and "Version %@" on every call ("(null)" for
// absent values).
//
// Thread rule: thread-safe. The id is cached in the object once read.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/MachineIdentity.h"

namespace vk {

/// The identity this device and application give every server (see the top of this file).
/// Thread-safe; the device id is read once and cached.
class VK_EXPORT DeviceInfoManager {
  public:
    /// The keychain entry holding the device id.
    static constexpr const char* kDeviceIdKey = "VORN_DEVICE_UUID";
    /// The standard user-defaults key of the legacy device id.
    static constexpr const char* kLegacyDeviceIdKey = "CDVUUID";
    /// The application name every server is given.
    static constexpr const char* kAppName = "Vorn for macOS";
    /// The vendor id the per-vendor identifier is derived for (shared by the vendor's programs).
    static constexpr const char* kVendorApplicationId = "6B1E9C04-5A3F-4E2D-9C71-0D8F3B2A7E15";

    /// `identity` null: MachineIdentity::shared() at each use.
    explicit DeviceInfoManager(std::shared_ptr<MachineIdentity> identity = nullptr);

    /// The stable device id; never empty.
    std::string getDeviceId();
    /// The id used before the keychain entry existed; never empty.
    std::string getDeviceId_Legacy();
    /// The machine's user-visible name; absent when it has none.
    std::optional<std::string> getDeviceName();
    /// The bundle's "CFBundleShortVersionString", else "CFBundleVersion"; absent without both.
    std::optional<std::string> getAppVersion();
    /// Always kAppName.
    std::string getAppName();

  private:
    std::shared_ptr<MachineIdentity> identity() const;

    std::shared_ptr<MachineIdentity> identity_;
    std::mutex mutex_;
    std::optional<std::string> deviceId_;
};

}  // namespace vk
