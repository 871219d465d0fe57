// The identity commands of vornctl: login and logout (the credentials text in the keychain),
// servers (the registered clients with their resolved addresses), device (this device's identity)
// and reachability (the network as the framework sees it, once or per change).
//
// Access tokens never appear on the command line or in the output: login reads the credentials
// text from a file or standard input, and the listings leave tokens out.
//
// login and logout read back what the keychain holds afterwards and fail (exit 1) when it did not
// take the change; login refuses a text that does not decode before anything is changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/DeviceInfoManager.h"
#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Network/NetworkMonitor.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Platform/Secrets/CombinedSecretStore.h"
#include "VornKit/Platform/Secrets/SecretStore.h"
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

/// The credentials text from `source` (a file, or "-" for standard input).
bool readCredentials(const std::string& source, std::string& text, std::string& error) {
    if (source == "-") {
        if (vk::PrivateFiles::readAll(STDIN_FILENO, text))
            return true;
        error = std::string("cannot read standard input: ") + std::strerror(errno);
        return false;
    }
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + source + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0;
    if (ok && S_ISDIR(info.st_mode)) {
        error = "cannot read " + source + ": it is a folder, not a file";
        ok = false;
    } else if (!ok || !vk::PrivateFiles::readAll(fd, text)) {
        error = "cannot read " + source + ": " + std::strerror(errno);
        ok = false;
    }
    ::close(fd);
    return ok;
}

/// The query that finds the stored credentials as the credentials manager reads them.
vk::SecretQuery credentialsQuery(vk::SynchronizableMatch match) {
    auto query = vk::KeychainHelper::baseQuery(vk::NativeCredentialsManager::kCredentialsKey);
    query.synchronizable = match;
    return query;
}

/// The name of the store that holds what `query` finds: of a combined keychain, the part it is in.
std::string holderName(const std::shared_ptr<vk::SecretStore>& store,
                       const vk::SecretQuery& query) {
    if (auto* combined = dynamic_cast<vk::CombinedSecretStore*>(store.get())) {
        vk::SecretItem ignored;
        if (combined->preferred()->copyFirst(query, ignored) != vk::SecretStatusCode::Success &&
            combined->other()->copyFirst(query, ignored) == vk::SecretStatusCode::Success) {
            return std::string(combined->other()->backendName());
        }
    }
    return std::string(store->backendName());
}

int loginCommand(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "--credentials") {
        std::fprintf(stderr,
                     "usage: vornctl login --credentials FILE|-\n"
                     "  stores the credentials JSON text ({\"Servers\":[...]}) read from FILE or\n"
                     "  standard input in the keychain, and registers a client per server\n");
        return args.size() == 1 && (args[0] == "--help" || args[0] == "-h") ? 0 : 2;
    }
    std::string text, error;
    if (!readCredentials(args[1], text, error))
        return fail(error + "; the stored credentials are unchanged");
    // A text the manager cannot decode would replace the stored credentials with none: it is
    // refused here, before anything changes.
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return fail("the credentials text is empty; the stored credentials are unchanged");
    auto decoded = vk::NativeCredentialsManager::decode(text);
    if (!decoded) {
        return fail("the credentials text does not decode: " + decoded.error().description() +
                    "; the stored credentials are unchanged");
    }
    vornctl::StderrLog log;
    auto manager = vk::ConnectionManager::sharedInstance();
    manager->credentialsManager()->updateCredentials(text);

    // The keychain's own failures are logged above; what counts is what it holds now.
    auto store = vk::SecretStore::shared();
    const auto query = credentialsQuery(vk::SynchronizableMatch::Synchronizable);
    vk::SecretItem stored;
    const vk::SecretStatus status = store->copyFirst(query, stored);
    if (status != vk::SecretStatusCode::Success || stored.value != text) {
        const std::string reason = status != vk::SecretStatusCode::Success
                                       ? vk::secretStatusDescription(status)
                                       : "it still holds the earlier credentials";
        return fail("the " + std::string(store->backendName()) +
                    " keychain did not keep the credentials: " + reason);
    }
    std::printf("stored credentials for %zu server(s) in the %s keychain\n",
                decoded->Servers.size(), holderName(store, query).c_str());
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
    // Removed means that nothing is found any more, not that the delete said so.
    auto store = vk::SecretStore::shared();
    const auto query = credentialsQuery(vk::SynchronizableMatch::Any);
    vk::SecretItem left;
    const vk::SecretStatus status = store->copyFirst(query, left);
    if (status == vk::SecretStatusCode::Success)
        return fail("the credentials are still in the " + holderName(store, query) + " keychain");
    if (status != vk::SecretStatusCode::ItemNotFound) {
        return fail("cannot tell whether the credentials were removed: " +
                    vk::secretStatusDescription(status));
    }
    std::printf("credentials removed\n");
    return 0;
}

/// Resolves every client's address, a few at a time, servicing the main queue meanwhile. Each
/// result is set in `addresses` / `errors` at the client's index.
void resolveAll(const std::vector<std::shared_ptr<vk::ApiClient>>& clients,
                std::vector<std::optional<std::string>>& addresses,
                std::vector<std::string>& errors) {
    // A resolution waits up to a minute for an address that does not answer; several run at once
    // so that unreachable servers do not add up, but not so many that a long list floods the
    // network.
    constexpr std::size_t kAtOnce = 4;
    constexpr auto kGiveUp = std::chrono::seconds(120);
    struct Slot {
        bool started = false;
        bool done = false;
        std::chrono::steady_clock::time_point since;
        std::optional<std::string> address;
        std::string error;
    };
    // Shared with the completions, which may come after a resolution was given up.
    auto slots = std::make_shared<std::vector<Slot>>(clients.size());
    std::size_t next = 0;
    auto running = [&] {
        std::size_t count = 0;
        for (const auto& slot : *slots)
            count += slot.started && !slot.done;
        return count;
    };
    auto startMore = [&] {
        while (next < clients.size() && running() < kAtOnce) {
            const std::size_t index = next++;
            (*slots)[index].started = true;
            (*slots)[index].since = std::chrono::steady_clock::now();
            // Called on the main queue, or at once on this thread.
            clients[index]->getServerAddress(
                vk::DispatchQueue::main(), [slots, index](std::optional<std::string> address,
                                                          std::optional<vk::UrlError> failure) {
                    auto& slot = (*slots)[index];
                    if (slot.done)
                        return;
                    slot.done = true;
                    slot.address = std::move(address);
                    if (!slot.address)
                        slot.error = failure ? failure->description : "no address";
                });
        }
    };
    auto allDone = [&] {
        for (const auto& slot : *slots) {
            if (!slot.done)
                return false;
        }
        return true;
    };
    startMore();
    while (!allDone()) {
        vk::RunLoop::main().runUntil(
            [&] {
                startMore();
                return allDone();
            },
            std::chrono::seconds(1));
        const auto now = std::chrono::steady_clock::now();
        for (auto& slot : *slots) {
            if (slot.started && !slot.done && now - slot.since > kGiveUp) {
                slot.done = true;
                slot.error = "no answer from any address";
            }
        }
        startMore();
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        addresses[i] = (*slots)[i].address;
        errors[i] = (*slots)[i].error;
    }
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
    if (clients.empty()) {
        // No servers, or credentials the keychain holds but cannot hand out now.
        vk::SecretItem stored;
        const vk::SecretStatus status = vk::SecretStore::shared()->copyFirst(
            credentialsQuery(vk::SynchronizableMatch::Synchronizable), stored);
        if (status != vk::SecretStatusCode::Success &&
            status != vk::SecretStatusCode::ItemNotFound) {
            return fail("the stored credentials cannot be read: " +
                        vk::secretStatusDescription(status));
        }
    }
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
    // The last use as stored: a resolution that succeeds sets it to now.
    std::vector<Row> rows;
    for (const auto& client : clients)
        rows.push_back(Row{client, {}, {}, client->serverInfo().DateLastAccessed});
    std::vector<std::optional<std::string>> addresses(clients.size());
    std::vector<std::string> errors(clients.size());
    resolveAll(clients, addresses, errors);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].address = std::move(addresses[i]);
        rows[i].error = std::move(errors[i]);
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
