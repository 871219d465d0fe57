#include "VornKit/Connection/DeviceInfoManager.h"

#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/Uuid.h"

namespace vk {

namespace {
constexpr const char* kCategory = "DeviceInfoManager";
}

DeviceInfoManager::DeviceInfoManager(std::shared_ptr<MachineIdentity> identity)
    : identity_(std::move(identity)) {}

std::shared_ptr<MachineIdentity> DeviceInfoManager::identity() const {
    return identity_ ? identity_ : MachineIdentity::shared();
}

std::string DeviceInfoManager::getDeviceId() {
    // One caller reads or creates the id; the others wait for it.
    std::lock_guard lock(mutex_);
    if (deviceId_)
        return *deviceId_;
    auto id = KeychainHelper::getValue(kDeviceIdKey);
    if (!id) {
        id = getDeviceId_Legacy();
        KeychainHelper::addOrUpdate(kDeviceIdKey, *id, true);
    }
    deviceId_ = id;
    consoleLog(kCategory, "DeviceId %s", id->c_str());
    return *id;
}

std::string DeviceInfoManager::getDeviceId_Legacy() {
    auto defaults = UserDefaults::standard();
    if (auto stored = defaults->string(kLegacyDeviceIdKey))
        return *stored;
    std::optional<Uuid> vendorId;
    if (auto machine = identity())
        vendorId = machine->applicationSpecificId(*Uuid::parse(kVendorApplicationId));
    std::string id = (vendorId ? *vendorId : Uuid::random()).uuidString();
    defaults->set(kLegacyDeviceIdKey, id);
    defaults->synchronize();
    return id;
}

std::optional<std::string> DeviceInfoManager::getDeviceName() {
    auto machine = identity();
    auto name = machine ? machine->deviceName() : std::nullopt;
    consoleLog(kCategory, "Running on %s", name ? name->c_str() : "(null)");
    return name;
}

std::optional<std::string> DeviceInfoManager::getAppVersion() {
    auto bundle = Bundle::main();
    auto version = bundle.infoValue("CFBundleShortVersionString");
    if (!version)
        version = bundle.infoValue("CFBundleVersion");
    consoleLog(kCategory, "Version %s", version ? version->c_str() : "(null)");
    return version;
}

std::string DeviceInfoManager::getAppName() {
    return kAppName;
}

}  // namespace vk
