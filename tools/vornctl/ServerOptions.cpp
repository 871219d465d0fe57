#include "tools/vornctl/ServerOptions.h"

#include <cstdio>
#include <map>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/DeviceInfoManager.h"
#include "VornKit/Offline/ApiClientEx.h"

namespace vornctl {

namespace {

class StderrSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        std::fprintf(stderr, "[%s] %s\n", record.category.c_str(), record.message.c_str());
    }
};

}  // namespace

std::optional<ServerOptions> ServerOptions::parse(const std::vector<std::string>& args,
                                                  std::string& error) {
    ServerOptions options;
    const std::map<std::string, std::optional<std::string>*> optionalFields = {
        {"--local", &options.localAddress},   {"--manual", &options.manualAddress},
        {"--remote", &options.remoteAddress}, {"--user", &options.userId},
        {"--token", &options.token},          {"--device-name", &options.deviceName},
        {"--device-id", &options.deviceId},
    };
    const std::map<std::string, std::string*> fields = {
        {"--server-id", &options.serverId},
        {"--name", &options.name},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            options.positional.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "option " + arg + " needs a value";
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (auto it = optionalFields.find(arg); it != optionalFields.end()) {
            *it->second = value;
            options.recordGiven =
                options.recordGiven || (arg != "--device-name" && arg != "--device-id");
        } else if (auto field = fields.find(arg); field != fields.end()) {
            *field->second = value;
            options.serverIdGiven = options.serverIdGiven || arg == "--server-id";
            options.recordGiven = options.recordGiven || arg == "--name";
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return options;
}

const char* ServerOptions::usage() {
    return "server options: [--local URL] [--manual URL] [--remote URL] [--server-id ID]\n"
           "                [--name N] [--user ID] [--token T] [--device-id D] [--device-name N]\n"
           "                --server-id ID alone uses the credentials stored by `vornctl login`\n";
}

vk::ServerInfo ServerOptions::serverInfo() const {
    vk::ServerInfo info;
    info.Id = serverId;
    info.Name = name;
    info.AccessToken = token;
    info.UserId = userId;
    info.LocalAddress = localAddress;
    info.ManualAddress = manualAddress;
    info.RemoteAddress = remoteAddress;
    return info;
}

vk::DeviceInfo ServerOptions::deviceInfo() const {
    vk::DeviceInfoManager device;
    std::string id = deviceId ? *deviceId : device.getDeviceId();
    std::optional<std::string> name = deviceName ? deviceName : device.getDeviceName();
    std::optional<std::string> version = device.getAppVersion();
    std::string application = device.getAppName();
    return vk::DeviceInfo(std::move(id), std::move(name), std::move(version),
                          std::move(application));
}

std::shared_ptr<vk::ApiClient> ServerOptions::storedClient() const {
    if (!usesStoredServer())
        return nullptr;
    if (auto stored = vk::ConnectionManager::sharedInstance()->getApiClient(serverId))
        return stored;
    std::fprintf(stderr,
                 "note: no stored credentials for server %s (vornctl login --credentials "
                 "FILE|- stores them)\n",
                 serverId.c_str());
    return nullptr;
}

std::shared_ptr<vk::ApiClient> ServerOptions::makeClient() const {
    if (auto stored = storedClient())
        return stored;
    return std::make_shared<vk::ApiClientEx>(serverInfo(), deviceInfo());
}

StderrLog::StderrLog() : previous_(vk::Log::setSink(std::make_shared<StderrSink>())) {}

StderrLog::~StderrLog() {
    vk::Log::setSink(previous_);
}

std::optional<std::string> resolveAddress(vk::ApiClient& client, std::string& error) {
    auto result = std::make_shared<
        std::optional<std::pair<std::optional<std::string>, std::optional<vk::UrlError>>>>();
    client.getServerAddress(
        vk::DispatchQueue::main(),
        [result](std::optional<std::string> address, std::optional<vk::UrlError> failure) {
            *result = std::make_pair(std::move(address), std::move(failure));
        });
    // Probes time out after a minute at most; leave room for that.
    if (!vk::RunLoop::main().runUntil([&] { return result->has_value(); },
                                      std::chrono::seconds(120))) {
        error = "no answer from any address";
        return std::nullopt;
    }
    const auto& [address, failure] = **result;
    if (!address) {
        error = failure ? failure->description : "no address";
        return std::nullopt;
    }
    return address;
}

}  // namespace vornctl
