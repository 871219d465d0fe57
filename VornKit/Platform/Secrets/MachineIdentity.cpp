#include "VornKit/Platform/Secrets/MachineIdentity.h"

#include <sodium.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Runtime/ProcessShared.h"

namespace vk {

namespace {

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

/// Undoes the shell quoting of an os-release style value: "..." (with backslash escapes), '...'
/// or a bare word with backslash escapes.
std::string unquote(const std::string& value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out.push_back(c);
        } else if (c == '\\' && i + 1 < value.size()) {
            out.push_back(value[++i]);
        } else if (quote == '"' && c == '"') {
            quote = 0;
        } else if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<MachineIdentity> MachineIdentity::shared() {
    return ProcessShared<MachineIdentity>::get(
        [] { return std::make_shared<LinuxMachineIdentity>(); });
}

void MachineIdentity::install(std::shared_ptr<MachineIdentity> identity) {
    ProcessShared<MachineIdentity>::install(std::move(identity));
}

LinuxMachineIdentity::LinuxMachineIdentity() : LinuxMachineIdentity(Paths()) {}

LinuxMachineIdentity::LinuxMachineIdentity(Paths paths, std::shared_ptr<DBusConnection> systemBus)
    : paths_(std::move(paths)), systemBus_(std::move(systemBus)) {}

std::optional<Uuid> LinuxMachineIdentity::readMachineId(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line))
        return std::nullopt;
    line = trim(line);
    // "uninitialized" (first boot) and anything else that is not 32 digits is no id.
    if (line.size() != 32)
        return std::nullopt;
    auto id = Uuid::parse(line);
    if (id && *id == Uuid{})
        return std::nullopt;
    return id;
}

Uuid LinuxMachineIdentity::deriveApplicationSpecificId(const Uuid& machineId,
                                                       const Uuid& applicationId) {
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, machineId.bytes.data(), machineId.bytes.size());
    crypto_auth_hmacsha256_update(&state, applicationId.bytes.data(), applicationId.bytes.size());
    crypto_auth_hmacsha256_final(&state, mac);
    sodium_memzero(&state, sizeof state);
    Uuid derived;
    std::copy(mac, mac + derived.bytes.size(), derived.bytes.begin());
    return derived.makeVersion4();
}

std::optional<Uuid> LinuxMachineIdentity::applicationSpecificId(const Uuid& applicationId) const {
    auto machineId = readMachineId(paths_.machineId);
    if (!machineId)
        return std::nullopt;
    return deriveApplicationSpecificId(*machineId, applicationId);
}

std::optional<std::string> LinuxMachineIdentity::readPrettyHostName(
    const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    while (file && std::getline(file, line)) {
        line = trim(line);
        constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
        if (line.rfind(kKey, 0) == 0) {
            auto value = trim(unquote(line.substr(kKey.size())));
            if (!value.empty())
                return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> LinuxMachineIdentity::hostnamedPrettyHostName(DBusConnection& bus) {
    constexpr const char* kName = "org.freedesktop.hostname1";
    // Asking an absent, non-activatable service would only wait for the timeout.
    if (!bus.nameHasOwner(kName) && !bus.nameIsActivatable(kName))
        return std::nullopt;
    auto value = bus.property(kName, "/org/freedesktop/hostname1", kName, "PrettyHostname", nullptr,
                              kHostnamedTimeout);
    if (!value)
        return std::nullopt;
    auto text = dbusValueAs<std::string>(*value);
    if (!text || trim(*text).empty())
        return std::nullopt;
    return trim(*text);
}

std::optional<std::string> LinuxMachineIdentity::deviceName() const {
    auto bus = systemBus_ ? systemBus_ : DBusConnection::system();
    if (bus) {
        if (auto name = hostnamedPrettyHostName(*bus))
            return name;
    }
    if (auto name = readPrettyHostName(paths_.machineInfo))
        return name;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
        return std::string(host);
    return std::nullopt;
}

}  // namespace vk
