#include "VornKit/Platform/Network/RadioAccessTechnology.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <utility>
#include <vector>

#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Runtime/ProcessShared.h"

namespace vk {

namespace {

constexpr const char* kModemManager = "org.freedesktop.ModemManager1";
constexpr const char* kModemManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
constexpr std::int64_t kModemStateConnected = 11;
constexpr const char* kOfono = "org.ofono";

}  // namespace

std::shared_ptr<RadioInfo> RadioInfo::shared() {
    return ProcessShared<RadioInfo>::get([] { return std::make_shared<ModemRadioInfo>(); });
}

void RadioInfo::install(std::shared_ptr<RadioInfo> info) {
    ProcessShared<RadioInfo>::install(std::move(info));
}

ModemRadioInfo::ModemRadioInfo(std::shared_ptr<DBusConnection> systemBus)
    : systemBus_(std::move(systemBus)) {}

std::optional<std::string> ModemRadioInfo::fromModemManager(std::uint32_t bits) {
    // Most capable first: a modem reports every technology of the current connection.
    static const std::pair<std::uint32_t, const char*> kOrder[] = {
        {1u << 15, RadioAccessTechnology::NR},            // 5GNR
        {1u << 14, RadioAccessTechnology::LTE},           // LTE
        {1u << 13, RadioAccessTechnology::CDMAEVDORevB},  // EVDOB
        {1u << 12, RadioAccessTechnology::CDMAEVDORevA},  // EVDOA
        {1u << 11, RadioAccessTechnology::CDMAEVDORev0},  // EVDO0
        {1u << 9, RadioAccessTechnology::HSDPA},          // HSPA+
        {1u << 8, RadioAccessTechnology::HSDPA},          // HSPA
        {1u << 7, RadioAccessTechnology::HSUPA},          // HSUPA
        {1u << 6, RadioAccessTechnology::HSDPA},          // HSDPA
        {1u << 5, RadioAccessTechnology::WCDMA},          // UMTS
        {1u << 10, RadioAccessTechnology::CDMA1x},        // 1xRTT
        {1u << 4, RadioAccessTechnology::Edge},           // EDGE
        {1u << 3, RadioAccessTechnology::GPRS},           // GPRS
        {1u << 2, RadioAccessTechnology::GPRS},           // GSM compact
        {1u << 1, RadioAccessTechnology::GPRS},           // GSM
    };
    for (const auto& [bit, name] : kOrder) {
        if (bits & bit)
            return std::string(name);
    }
    return std::nullopt;
}

std::optional<std::string> ModemRadioInfo::fromOfono(const std::string& bearer,
                                                     const std::string& technology) {
    static const std::map<std::string, const char*> kBearers = {
        {"gprs", RadioAccessTechnology::GPRS},   {"edge", RadioAccessTechnology::Edge},
        {"umts", RadioAccessTechnology::WCDMA},  {"hsdpa", RadioAccessTechnology::HSDPA},
        {"hsupa", RadioAccessTechnology::HSUPA}, {"hspa", RadioAccessTechnology::HSDPA},
        {"lte", RadioAccessTechnology::LTE},
    };
    static const std::map<std::string, const char*> kTechnologies = {
        {"gsm", RadioAccessTechnology::GPRS},   {"edge", RadioAccessTechnology::Edge},
        {"umts", RadioAccessTechnology::WCDMA}, {"hspa", RadioAccessTechnology::HSDPA},
        {"lte", RadioAccessTechnology::LTE},    {"nr", RadioAccessTechnology::NR},
    };
    if (auto found = kBearers.find(bearer); found != kBearers.end())
        return std::string(found->second);
    if (auto found = kTechnologies.find(technology); found != kTechnologies.end())
        return std::string(found->second);
    return std::nullopt;
}

std::optional<std::string> ModemRadioInfo::askModemManager(DBusConnection& bus) {
    if (!bus.nameHasOwner(kModemManager))
        return std::nullopt;
    std::optional<std::uint32_t> connected, any;
    bus.call(
        kModemManager, kModemManagerPath, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
        nullptr,
        [&](sdbus::MethodReply& reply) {
            std::map<sdbus::ObjectPath,
                     std::map<std::string, std::map<std::string, sdbus::Variant>>>
                objects;
            reply >> objects;
            for (const auto& [path, interfaces] : objects) {
                auto modem = interfaces.find(kModemInterface);
                if (modem == interfaces.end())
                    continue;
                DBusProperties properties;
                for (const auto& [name, variant] : modem->second)
                    properties.emplace(name, DBusConnection::toValue(variant));
                auto bits = dbusProperty<std::int64_t>(properties, "AccessTechnologies");
                if (!bits || *bits == 0)
                    continue;
                auto value = static_cast<std::uint32_t>(*bits);
                if (!any)
                    any = value;
                if (!connected &&
                    dbusProperty<std::int64_t>(properties, "State") == kModemStateConnected)
                    connected = value;
            }
        },
        nullptr, kTimeout);
    if (auto bits = connected ? connected : any)
        return fromModemManager(*bits);
    return std::nullopt;
}

std::optional<std::string> ModemRadioInfo::askOfono(DBusConnection& bus) {
    if (!bus.nameHasOwner(kOfono))
        return std::nullopt;
    std::vector<std::string> modems;
    bus.call(
        kOfono, "/", "org.ofono.Manager", "GetModems", nullptr,
        [&](sdbus::MethodReply& reply) {
            std::vector<sdbus::Struct<sdbus::ObjectPath, std::map<std::string, sdbus::Variant>>>
                list;
            reply >> list;
            for (const auto& entry : list) {
                const auto& properties = std::get<1>(entry);
                auto online = properties.find("Online");
                if (online != properties.end() && online->second.containsValueOfType<bool>() &&
                    !online->second.get<bool>()) {
                    continue;
                }
                modems.push_back(std::get<0>(entry));
            }
        },
        nullptr, kTimeout);
    for (const auto& modem : modems) {
        auto read = [&](const char* interface, const char* name) {
            std::string value;
            bus.call(
                kOfono, modem, interface, "GetProperties", nullptr,
                [&](sdbus::MethodReply& reply) {
                    auto properties = DBusConnection::readProperties(reply);
                    value = dbusProperty<std::string>(properties, name).value_or("");
                },
                nullptr, kTimeout);
            return value;
        };
        auto technology = fromOfono(read("org.ofono.ConnectionManager", "Bearer"),
                                    read("org.ofono.NetworkRegistration", "Technology"));
        if (technology)
            return technology;
    }
    return std::nullopt;
}

std::optional<std::string> ModemRadioInfo::currentRadioAccessTechnology() {
    auto bus = systemBus_ ? systemBus_ : DBusConnection::system();
    if (!bus)
        return std::nullopt;
    if (auto technology = askModemManager(*bus))
        return technology;
    return askOfono(*bus);
}

}  // namespace vk
