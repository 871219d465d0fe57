#include "VornKit/Model/ServerInfo.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

std::optional<ConnectionMode> connectionModeFromRaw(std::int64_t raw) {
    if (raw < 1 || raw > 4)
        return std::nullopt;
    return static_cast<ConnectionMode>(raw);
}

namespace {

bool decodeConnectionMode(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    std::int64_t raw = 0;
    if (!decodeJsonInteger(h, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), "ConnectionMode", raw, ctx)) {
        return false;
    }
    value = static_cast<std::int64_t>(connectionModeFromRaw(raw).value_or(ConnectionMode::unknown));
    return true;
}

}  // namespace

const EnumCoding& enumCoding(ConnectionMode) {
    static const Immortal<EnumCoding> coding(
        EnumCoding{"ConnectionMode",
                   false,
                   {{1, "local", {}}, {2, "remote", {}}, {3, "manual", {}}, {4, "unknown", {}}},
                   decodeConnectionMode});
    return *coding;
}

const FieldTable<ServerInfo>& ServerInfo::fieldTable() {
    static const Immortal<FieldTable<ServerInfo>> table(
        "ServerInfo",
        {
            field<&ServerInfo::AccessToken>("AccessToken", Presence::Optional),
            field<&ServerInfo::Id>("Id", Presence::Required),
            field<&ServerInfo::LastConnectionMode>("LastConnectionMode", Presence::Optional),
            field<&ServerInfo::Name>("Name", Presence::Required),
            field<&ServerInfo::LocalAddress>("LocalAddress", Presence::Optional),
            field<&ServerInfo::ManualAddress>("ManualAddress", Presence::Optional),
            field<&ServerInfo::RemoteAddress>("RemoteAddress", Presence::Optional),
            field<&ServerInfo::Type>("Type", Presence::Optional),
            field<&ServerInfo::UserId>("UserId", Presence::Optional),
            field<&ServerInfo::DateLastAccessed>("DateLastAccessed", Presence::Optional),
        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::ServerInfo)
