// The options every server command of vornctl understands, and what they make: a server record,
// a device identity and a client.
//
//   --local URL  --manual URL  --remote URL   the server's addresses
//   --server-id ID  --name N  --user ID  --token T   the rest of the server record
//   --device-id D  --device-name N                   the device identity
//
// The options may stand before or after the command name; the other words are the command's
// positional arguments, in order.
//
// --server-id ID alone (no address, token, user or name) takes the server's client from the
// stored credentials (`vornctl login`): its server record, token and user, and this device's
// identity, so that no token needs to appear on the command line. A client made from the options
// identifies this device too (DeviceInfoManager: its id, name, the application's version and
// name), unless --device-id or --device-name say otherwise.
//
// Thread rule: plain values; used on the command's (main) thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"

namespace vornctl {

struct ServerOptions {
    std::optional<std::string> localAddress;
    std::optional<std::string> manualAddress;
    std::optional<std::string> remoteAddress;
    std::string serverId = "vornctl-server";
    std::string name = "Server";
    std::optional<std::string> userId;
    std::optional<std::string> token;
    std::optional<std::string> deviceId;    ///< absent: this device's id
    std::optional<std::string> deviceName;  ///< absent: this device's name
    std::vector<std::string> positional;
    bool serverIdGiven = false;  ///< --server-id was given
    bool recordGiven = false;    ///< an address, --token, --user or --name was given

    /// Absent with `error` set for an unknown option or an option without its value.
    static std::optional<ServerOptions> parse(const std::vector<std::string>& args,
                                              std::string& error);
    static const char* usage();

    vk::ServerInfo serverInfo() const;
    /// This device's identity (DeviceInfoManager), read in the order id, name, version,
    /// application name; --device-id and --device-name replace the first two.
    vk::DeviceInfo deviceInfo() const;
    /// Whether --server-id stands alone, so that the stored credentials name the server.
    bool usesStoredServer() const { return serverIdGiven && !recordGiven; }
    /// The stored client of --server-id when that option stands alone and such a client is
    /// stored; null otherwise (with a note on stderr when --server-id stood alone).
    std::shared_ptr<vk::ApiClient> storedClient() const;
    /// storedClient(), else a client (an ApiClientEx, as every registered server gets) made from
    /// the options.
    std::shared_ptr<vk::ApiClient> makeClient() const;
};

/// Sends log lines to stderr ("[category] message") while it exists.
class StderrLog {
  public:
    StderrLog();
    ~StderrLog();
    StderrLog(const StderrLog&) = delete;
    StderrLog& operator=(const StderrLog&) = delete;

  private:
    std::shared_ptr<vk::LogSink> previous_;
};

/// Resolves the client's address, servicing the main queue meanwhile. Returns the address, or
/// absent with `error` set.
std::optional<std::string> resolveAddress(vk::ApiClient& client, std::string& error);

}  // namespace vornctl
