// The identity commands of vornctl: login and logout (the credentials text in the keychain),
// servers (the registered clients with their resolved addresses), device (this device's identity)
// and reachability (the network as the framework sees it, once or per change).
//
// Access tokens never appear on the command line or in the output: login reads the credentials
// text from a file or standard input, and the listings leave tokens out.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/DeviceInfoManager.h"
#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Dispatch.h"
#include "VornKit/Platform/JsonWriter.h"
#include "VornKit/Platform/NetworkMonitor.h"
#include "VornKit/Platform/NotificationCenter.h"
#include "VornKit/Platform/SecretStore.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    return 1;
}

bool has(const std::vector<std::string>& args, const std::string& flag) {
    return std::find(args.begin(), args.end(), flag) != args.end();
}

std::string dateText(const vk::Date& date) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

int loginCommand(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "--credentials") {
        std::fprintf(stderr,
                     "usage: vornctl login --credentials FILE|-\n"
                     "  stores the credentials JSON text ({\"Servers\":[...]}) read from FILE or\n"
                     "  standard input in the keychain, and registers a client per server\n");
        return args.size() == 1 && (args[0] == "--help" || args[0] == "-h") ? 0 : 2;
    }
    std::string text;
    if (args[1] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream file(args[1], std::ios::binary);
        if (!file)
            return fail("cannot read " + args[1]);
        text.assign(std::istreambuf_iterator<char>(file), {});
    }
    // Say what is wrong before the manager drops a bad text (it leaves no credentials then).
    auto decoded = vk::NativeCredentialsManager::decode(text);
    vornctl::StderrLog log;
    auto manager = vk::ConnectionManager::sharedInstance();
    manager->credentialsManager()->updateCredentials(text);
    if (!decoded)
        return fail("the credentials text does not decode: " + decoded.error().description());
    auto store = vk::SecretStore::shared();
    std::printf("stored credentials for %zu server(s) in the %s keychain\n",
                decoded->Servers.size(), std::string(store->backendName()).c_str());
    for (const auto& server : decoded->Servers)
        std::printf("  %s  %s\n", server.Id.c_str(), server.Name.c_str());
    return 0;
}

int logoutCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: vornctl logout\n  removes the stored credentials\n");
        return has(args, "--help") ? 0 : 2;
    }
    vornctl::StderrLog log;
    vk::KeychainHelper::deleteValue(vk::NativeCredentialsManager::kCredentialsKey);
    std::printf("credentials removed\n");
    return 0;
}

int serversCommand(const std::vector<std::string>& args) {
    const bool json = has(args, "--json");
    if (args.size() > (json ? 1u : 0u)) {
        std::fprintf(stderr,
                     "usage: vornctl servers [--json]\n"
                     "  the registered clients, last used first, with their resolved addresses\n");
        return has(args, "--help") ? 0 : 2;
    }
    vornctl::StderrLog log;
    auto clients = vk::ConnectionManager::sharedInstance()->getApiClients();
    // Last used first; a client never used ranks last.
    std::stable_sort(clients.begin(), clients.end(), [](const auto& a, const auto& b) {
        return a->dateLastAccessed() > b->dateLastAccessed();
    });
    struct Row {
        std::shared_ptr<vk::ApiClient> client;
        std::optional<std::string> address;
        std::string error;
        std::optional<vk::Date> lastUsed;
    };
    std::vector<Row> rows;
    for (const auto& client : clients) {
        Row row{client, {}, {}, client->serverInfo().DateLastAccessed};
        row.address = vornctl::resolveAddress(*client, row.error);
        rows.push_back(std::move(row));
    }
    if (json) {
        std::string out;
        vk::JsonWriter writer(out);
        writer.beginArray();
        for (const auto& row : rows) {
            auto info = row.client->serverInfo();
            writer.beginObject();
            writer.key("Id");
            writer.string(info.Id);
            writer.key("Name");
            writer.string(info.Name);
            writer.key("UserId");
            info.UserId ? writer.string(*info.UserId) : writer.null();
            writer.key("Address");
            row.address ? writer.string(*row.address) : writer.null();
            writer.key("HasToken");
            writer.boolean(row.client->getServerCredentials().has_value());
            writer.key("DateLastAccessed");
            row.lastUsed ? writer.string(dateText(*row.lastUsed)) : writer.null();
            writer.endObject();
        }
        writer.endArray();
        std::printf("%s\n", out.c_str());
        return 0;
    }
    if (rows.empty()) {
        std::printf("no servers (vornctl login --credentials FILE|- stores some)\n");
        return 0;
    }
    for (const auto& row : rows) {
        auto info = row.client->serverInfo();
        std::printf(
            "%s  %s  %s  last used %s\n", info.Id.c_str(), info.Name.c_str(),
            row.address ? row.address->c_str() : ("(unresolved: " + row.error + ")").c_str(),
            row.lastUsed ? dateText(*row.lastUsed).c_str() : "never");
    }
    return 0;
}

int deviceCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: vornctl device\n  this device's identity as servers see it\n");
        return has(args, "--help") ? 0 : 2;
    }
    vk::DeviceInfoManager manager;
    // The manager's own console lines would interleave with the answer.
    auto previous = vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());
    auto id = manager.getDeviceId();
    auto name = manager.getDeviceName();
    auto version = manager.getAppVersion();
    auto application = manager.getAppName();
    vk::Log::setSink(previous);
    std::printf("device id:    %s\n", id.c_str());
    std::printf("device name:  %s\n", name.value_or("(none)").c_str());
    std::printf("application:  %s\n", application.c_str());
    std::printf("version:      %s\n", version.value_or("(none)").c_str());
    std::printf("keychain:     %s\n",
                std::string(vk::SecretStore::shared()->backendName()).c_str());
    return 0;
}

const char* statusName(vk::NetworkStatus status) {
    switch (status) {
        case vk::ReachableViaWiFi:
            return "reachable without the cellular network";
        case vk::ReachableViaWWAN:
            return "reachable over the cellular network";
        default:
            return "not reachable";
    }
}

/// The flag characters as the status line shows them ("WR tcCiDld").
std::string flagText(std::uint32_t flags) {
    using namespace vk::ReachabilityFlags;
    auto mark = [flags](std::uint32_t bit, char letter) { return (flags & bit) ? letter : '-'; };
    return {mark(IsWWAN, 'W'),
            mark(Reachable, 'R'),
            ' ',
            mark(TransientConnection, 't'),
            mark(ConnectionRequired, 'c'),
            mark(ConnectionOnTraffic, 'C'),
            mark(InterventionRequired, 'i'),
            mark(ConnectionOnDemand, 'D'),
            mark(IsLocalAddress, 'l'),
            mark(IsDirect, 'd')};
}

void printReachability(vk::Reachability& reachability, bool oneLine) {
    auto status = reachability.currentReachabilityStatus();
    auto flags = reachability.target()->flags();
    double speed = reachability.currentMaxDownlinkSpeed();
    char speedText[64];
    if (speed == std::numeric_limits<double>::max())
        std::snprintf(speedText, sizeof speedText, "unknown (largest double)");
    else
        std::snprintf(speedText, sizeof speedText, "%g Mbit/s", speed);
    auto path = reachability.target()->monitor()->currentPath();
    const std::string source = reachability.target()->monitor()->backendName() + ": " + path.detail;
    const std::string flagLine = flags ? flagText(*flags) : "(unreadable)";
    if (oneLine) {
        std::printf("status %d (%s)  flags %s  downlink %s  [%s]\n", status, statusName(status),
                    flagLine.c_str(), speedText, source.c_str());
    } else {
        std::printf("status:    %d (%s)\n", status, statusName(status));
        std::printf("flags:     %s\n", flagLine.c_str());
        std::printf("downlink:  %s\n", speedText);
        std::printf("source:    %s\n", source.c_str());
    }
    std::fflush(stdout);
}

int reachabilityCommand(const std::vector<std::string>& args) {
    const bool watch = has(args, "--watch");
    if (args.size() > (watch ? 1u : 0u)) {
        std::fprintf(stderr,
                     "usage: vornctl reachability [--watch]\n"
                     "  status, flags and downlink estimate of the way to the internet; with\n"
                     "  --watch one line now and one per change until interrupted\n");
        return has(args, "--help") ? 0 : 2;
    }
    // The monitor's flag lines go nowhere: the command prints its own.
    vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());
    auto reachability = vk::Reachability::reachabilityForInternetConnection();
    if (!reachability)
        return fail("no network monitor could be started");
    if (!watch) {
        printReachability(*reachability, false);
        return 0;
    }
    // The notifier reports only the changes after it starts, so it starts before the first line is
    // printed: no change can fall between that line and the notifier's starting point unreported.
    vk::NotificationCenter::defaultCenter().addObserver(
        std::string(vk::Reachability::kNetworkReachabilityChangedNotification), reachability.get(),
        nullptr, [reachability](const vk::Notification&) {
            vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());  // drop what piled up
            printReachability(*reachability, true);
        });
    if (!reachability->startNotifier())
        return fail("the notifier could not be started");
    printReachability(*reachability, true);
    vk::RunLoop::main().run();
    return 0;
}

}  // namespace

VORNCTL_COMMAND("login",
                "login --credentials FILE|-   store the credentials JSON text (file or stdin)",
                loginCommand);
VORNCTL_COMMAND("logout", "logout                      remove the stored credentials",
                logoutCommand);
VORNCTL_COMMAND("servers",
                "servers [--json]            registered servers, last used first, resolved",
                serversCommand);
VORNCTL_COMMAND("device", "device                      this device's id, name and application",
                deviceCommand);
VORNCTL_COMMAND("reachability",
                "reachability [--watch]      network status, flags and downlink estimate",
                reachabilityCommand);
