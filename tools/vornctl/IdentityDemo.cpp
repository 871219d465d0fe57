#include "tools/vornctl/IdentityDemo.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "tools/vornctl/ServerOptions.h"

namespace vornctl {

namespace {

constexpr const char* kToken = "demo-identity-token-61c0";
constexpr const char* kUser = "demo-user-7";

}  // namespace

int runIdentityDemo(bool ownKeychain) {
    if (ownKeychain) {
        vk::SecretStore::install(std::make_shared<vk::EncryptedFileSecretStore>(
            vk::EncryptedFileSecretStore::defaultDirectory(*vk::Environment::current())));
    }
    auto store = vk::SecretStore::shared();
    std::printf("keychain backend:         %s\n", std::string(store->backendName()).c_str());

    refserver::RefServer::Options serverOptions;
    serverOptions.serverName = "Identity Demo Server";
    serverOptions.serverId = "identity-demo-server";
    serverOptions.accessToken = kToken;
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 10;
    libraryOptions.userId = kUser;
    auto library = refserver::Library::install(server, libraryOptions);
    auto local = server.listen({"local", "127.0.0.1", 0, std::nullopt});
    if (!local) {
        std::printf("cannot start the reference server\n");
        return 1;
    }

    // The host hands over its credentials text; the token travels only inside it.
    const std::string credentials = std::string(R"({"Servers":[{"Id":")") + serverOptions.serverId +
                                    R"(","Name":"Identity Demo Server",)" + R"("AccessToken":")" +
                                    kToken + R"(","UserId":")" + kUser + R"(","LocalAddress":")" +
                                    *local + R"(","DateLastAccessed":1760000000000}]})";
    std::printf("login (updateCredentials with the host's credentials text):\n");
    auto manager = vk::ConnectionManager::sharedInstance();
    manager->credentialsManager()->updateCredentials(credentials);

    std::printf("device id:                %s\n",
                manager->deviceInfoManager()->getDeviceId().c_str());

    std::printf("servers:\n");
    for (const auto& client : manager->getApiClients()) {
        std::string error;
        auto address = resolveAddress(*client, error);
        std::printf("  %s  %s  %s  token %s\n", client->serverId().c_str(),
                    client->serverName().c_str(), address ? address->c_str() : error.c_str(),
                    client->getServerCredentials() ? "stored" : "none");
    }

    std::printf("query through the stored client (getUserViews):\n");
    auto client = manager->getApiClient(serverOptions.serverId);
    auto views = std::make_shared<std::optional<std::optional<vk::GetItemsResponse>>>();
    client->getUserViews(std::nullopt, {}, [views](std::optional<vk::GetItemsResponse> answer) {
        vk::DispatchQueue::main()->async([views, answer] { *views = answer; });
    });
    vk::RunLoop::main().runUntil([&] { return views->has_value(); }, std::chrono::seconds(30));
    bool ok = views->has_value() && views->value().has_value();
    if (ok) {
        for (const auto& item : views->value()->Items)
            std::printf("  view %s  %s\n", item->Id.str().c_str(), item->Name.str().c_str());
    } else {
        std::printf("  no answer\n");
    }

    auto reachability = vk::Reachability::reachabilityForInternetConnection();
    if (reachability) {
        auto monitor = reachability->target()->monitor();
        double speed = reachability->currentMaxDownlinkSpeed();
        std::printf("reachability:             status %d, downlink %s, from %s (%s)\n",
                    reachability->currentReachabilityStatus(),
                    speed == std::numeric_limits<double>::max()
                        ? "unknown"
                        : (std::to_string(static_cast<long long>(speed)) + " Mbit/s").c_str(),
                    monitor->backendName().c_str(), monitor->currentPath().detail.c_str());
    }
    server.stop();
    return ok ? 0 : 1;
}

}  // namespace vornctl
