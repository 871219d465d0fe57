#include "tools/vornctl/NetworkDemo.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/RefServer.h"
#include "tools/vornctl/ServerOptions.h"

namespace vornctl {

namespace {

constexpr std::chrono::milliseconds kLocalDelay{1000};
constexpr const char* kToken = "demo-token-5f2c";

// Prints every log line as it is written, indented, and keeps going to the previous sink.
class EchoSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        std::printf("  log [%s] %s\n", record.category.c_str(), record.message.c_str());
    }
};

}  // namespace

int runNetworkDemo() {
    refserver::RefServer::Options serverOptions;
    serverOptions.serverName = "Demo Server";
    serverOptions.accessToken = kToken;
    refserver::RefServer server(serverOptions);
    auto local = server.listen({"local", "127.0.0.1", 0, std::nullopt});
    auto remote = server.listen({"remote", "127.0.0.2", 0, std::nullopt});
    if (!local || !remote) {
        std::printf("cannot start the reference server\n");
        return 1;
    }
    server.setEndpointInfo(false, false);
    // The local address answers everything a second late: a slow network path.
    server.addFault({"local", "", "", refserver::Fault::delayBy(kLocalDelay), -1});
    std::printf("reference server \"Demo Server\" listening on\n");
    std::printf("  local  %s  (answers after %lld ms)\n", local->c_str(),
                static_cast<long long>(kLocalDelay.count()));
    std::printf("  remote %s  (answers at once)\n", remote->c_str());

    ServerOptions options;
    options.serverId = serverOptions.serverId;
    options.name = "Demo Server";
    options.localAddress = *local;
    options.remoteAddress = *remote;
    options.token = kToken;
    options.deviceId = "demo-device-1";
    options.deviceName = std::string("Demo Desk");
    auto client = options.makeClient();

    auto previous = vk::Log::setSink(std::make_shared<EchoSink>());
    std::printf("resolving (probes 200 ms apart, first answer wins):\n");
    auto start = std::chrono::steady_clock::now();
    std::string error;
    auto address = resolveAddress(*client, error);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    if (!address) {
        vk::Log::setSink(previous);
        std::printf("resolution failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("  picked %s after %lld ms (%s)\n", address->c_str(), static_cast<long long>(took),
                *address == *remote ? "the remote address" : "the local address");

    std::printf("authorised request:\n");
    auto url = client->getUrl("System/Endpoint", {});
    auto body = std::make_shared<std::optional<std::optional<std::string>>>();
    client->sendRequest(vk::UrlRequest(*url), [body](std::optional<std::string> text) {
        vk::DispatchQueue::main()->async([body, text] { *body = text; });
    });
    vk::RunLoop::main().runUntil([&] { return body->has_value(); }, std::chrono::seconds(30));
    vk::Log::setSink(previous);
    std::string answer = body->has_value() && **body ? ***body : std::string("(no answer)");
    std::printf("  answer: %s\n", answer.c_str());

    // The header the request carried, made by the same call the exchange makes, and the header
    // as the server read it (its HTTP library decodes %-escapes in header values).
    vk::UrlRequest authorised = vk::ApiClient::setRequestHeaders(
        vk::UrlRequest(*url), client->deviceInfo(), client->getServerCredentials());
    std::printf("  header sent:\n    X-Vorn-Authorization: %s\n",
                authorised.value("X-Vorn-Authorization").value_or("").c_str());
    auto recorded = server.requestsTo("/vorn/System/Endpoint");
    std::string header = recorded.empty()
                             ? std::string("(not received)")
                             : recorded.back().header("X-Vorn-Authorization").value_or("(none)");
    std::printf("  header the server read:\n    X-Vorn-Authorization: %s\n", header.c_str());
    std::printf("  requests the server saw: %zu (probes and the request)\n",
                server.requests().size());
    bool ok = *address == *remote && body->has_value() && **body;
    server.stop();
    return ok ? 0 : 1;
}

}  // namespace vornctl
