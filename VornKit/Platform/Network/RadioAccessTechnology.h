// Radio access technology of the cellular modem: which mobile network generation carries data
// now, named by the platform's telephony constants ("CTRadioAccessTechnologyLTE", ...), so that
// log lines read the same on every platform.
//
// ModemRadioInfo asks ModemManager (its modems' AccessTechnologies) and, when ModemManager has no
// modem, oFono (the data bearer of an online modem, else its registration technology) over the
// system bus. FixedRadioInfo is the test double.
//
// Thread rule: thread-safe; every call asks afresh (a few bus calls, one-second timeouts).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"

namespace vk {

class DBusConnection;

namespace RadioAccessTechnology {
inline constexpr const char* GPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* Edge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* WCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* HSDPA = "CTRadioAccessTechnologyHSDPA";
inline constexpr const char* HSUPA = "CTRadioAccessTechnologyHSUPA";
inline constexpr const char* CDMA1x = "CTRadioAccessTechnologyCDMA1x";
inline constexpr const char* CDMAEVDORev0 = "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr const char* CDMAEVDORevA = "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr const char* CDMAEVDORevB = "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr const char* eHRPD = "CTRadioAccessTechnologyeHRPD";
inline constexpr const char* LTE = "CTRadioAccessTechnologyLTE";
inline constexpr const char* NR = "CTRadioAccessTechnologyNR";
}  // namespace RadioAccessTechnology

/// Which mobile network generation carries data now. Thread-safe; every call asks afresh.
class VK_EXPORT RadioInfo {
  public:
    virtual ~RadioInfo() = default;
    /// The technology carrying data now; absent without a modem or when it cannot tell.
    virtual std::optional<std::string> currentRadioAccessTechnology() = 0;

    /// The installed source, else a ModemRadioInfo on the shared system bus.
    static std::shared_ptr<RadioInfo> shared();
    /// Replaces the process's source (a test's FixedRadioInfo); nullptr brings back the default on
    /// the next shared(). Thread-safe.
    static void install(std::shared_ptr<RadioInfo> info);
};

/// Asks ModemManager, else oFono, over the system bus (see the top of this file).
class VK_EXPORT ModemRadioInfo : public RadioInfo {
  public:
    /// How long each bus call may take.
    static constexpr std::chrono::milliseconds kTimeout{1000};

    /// `systemBus` null: the shared system-bus connection, looked up at each call.
    explicit ModemRadioInfo(std::shared_ptr<DBusConnection> systemBus = {});
    std::optional<std::string> currentRadioAccessTechnology() override;

    /// ModemManager's access-technology bits (MMModemAccessTechnology) to a technology: the
    /// most capable one set.
    static std::optional<std::string> fromModemManager(std::uint32_t accessTechnologies);
    /// oFono's ConnectionManager "Bearer", else NetworkRegistration "Technology", to a technology.
    static std::optional<std::string> fromOfono(const std::string& bearer,
                                                const std::string& technology);

  private:
    std::optional<std::string> askModemManager(DBusConnection& bus);
    std::optional<std::string> askOfono(DBusConnection& bus);

    std::shared_ptr<DBusConnection> systemBus_;
};

/// Test double: answers what it was given.
class VK_EXPORT FixedRadioInfo : public RadioInfo {
  public:
    /// `technology` is what every call returns (a RadioAccessTechnology constant, or absent).
    explicit FixedRadioInfo(std::optional<std::string> technology)
        : technology_(std::move(technology)) {}
    std::optional<std::string> currentRadioAccessTechnology() override { return technology_; }

  private:
    std::optional<std::string> technology_;
};

}  // namespace vk
