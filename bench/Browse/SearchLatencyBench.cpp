// Desktop search latency: GetInitialResultSet calls to the SearchProvider over D-Bus, as the shell
// makes them, against the reference server's generated library on loopback.
//
// The bench starts a private bus of its own (dbus-daemon --session --fork, stopped at the end),
// exports the provider on one connection to it and calls it from another connection of the same
// process, one call after another, each with the name of an album of the library. Every answer
// goes through the bus, the provider, the connection manager's client, three searches
// (searchForAll) and the decoding of their answers.
//
// Reference, in the same run: the first search request of each call (the exact request target
// and authorisation header the reference server recorded) sent again with a plain libcurl loop on
// one kept-alive handle, the body read and dropped.
//
// Prints (empty: calls answered with no results, by the answer timeout; every other answer must
// hold the album searched for)
//   "search.initial_result_set calls=<n> median_ms=<m> p99_ms=<p> (target < 150) empty=<n>
//    libcurl_median_ms=<m> libcurl_p99_ms=<p> ratio=<median/libcurl median>"
#include <curl/curl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "VornKit/Browse/SearchProvider.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Secrets/MemorySecretStore.h"
#include "VornKit/Platform/Secrets/SecretStore.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kCalls = 200;
constexpr int kWarmUp = 10;
constexpr const char* kToken = "bench-token";
constexpr const char* kBusName = "app.vorn.SearchLatencyBench";
constexpr const char* kObjectPath = "/app/vorn/SearchProvider";

pid_t busPid = 0;

void stopBus() {
    if (busPid > 0)
        ::kill(busPid, SIGTERM);
    busPid = 0;
}

[[noreturn]] void failed(const std::string& what) {
    std::fprintf(stderr, "bench_search_latency: %s\n", what.c_str());
    stopBus();
    std::exit(1);
}

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Starts a private session bus; its address (the pid goes to busPid).
std::string startBus() {
    FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    if (!out)
        failed("cannot run dbus-daemon");
    char line[1024];
    std::string address;
    if (std::fgets(line, sizeof line, out))
        address = line;
    if (std::fgets(line, sizeof line, out))
        busPid = static_cast<pid_t>(std::atol(line));
    ::pclose(out);
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
        address.pop_back();
    if (address.empty() || busPid <= 0)
        failed("dbus-daemon gave no address or pid");
    return address;
}

size_t dropBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

}  // namespace

int main() {
    vk::Environment::install(
        vk::Environment::rootedAt(fs::temp_directory_path() / "vornkit-bench-search-env"));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());
    vk::SecretStore::install(std::make_shared<vk::MemorySecretStore>());
    curl_global_init(CURL_GLOBAL_DEFAULT);

    refserver::RefServer::Options serverOptions;
    serverOptions.accessToken = kToken;
    serverOptions.serverId = "bench-server";
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 500;
    libraryOptions.userId = "bench-user";
    auto library = refserver::Library::install(server, libraryOptions);
    const std::string base = *server.listen({"bench", "127.0.0.1", 0, std::nullopt});
    std::vector<std::string> terms;
    std::vector<std::string> albumIds;
    for (const auto* album : library->ofType("MusicAlbum")) {
        terms.push_back(album->name);
        albumIds.push_back(album->id);
    }
    if (terms.empty())
        failed("the library has no albums");

    auto manager = vk::ConnectionManager::create();
    vk::ServerInfo info;
    info.Id = "bench-server";
    info.Name = "Bench";
    info.AccessToken = kToken;
    info.UserId = "bench-user";
    info.LocalAddress = base;
    manager->updateApiClients(std::vector<vk::ServerInfo>{info});
    manager->getApiClient("bench-server")->setServerAddress(base);

    const std::string address = startBus();
    std::string error;
    auto providerBus = vk::DBusConnection::open(address, &error);
    auto callerBus = providerBus ? vk::DBusConnection::open(address, &error) : nullptr;
    if (!callerBus)
        failed("cannot connect to the private bus: " + error);
    vk::SearchProvider::Options options;
    options.busName = kBusName;
    options.serverId = "bench-server";
    options.iconDirectory = fs::temp_directory_path() / "vornkit-bench-search-icons";
    auto provider = vk::SearchProvider::start(providerBus, manager, options, &error);
    if (!provider)
        failed("cannot export the search provider: " + error);

    auto search = [&](const std::string& term, std::vector<std::string>& results) {
        vk::DBusError callError;
        bool ok = callerBus->call(
            kBusName, kObjectPath, vk::SearchProvider::kInterface, "GetInitialResultSet",
            [&](sdbus::MethodCall& call) { call << std::vector<std::string>{term}; },
            [&](sdbus::MethodReply& reply) { reply >> results; }, &callError);
        if (!ok)
            failed("GetInitialResultSet failed: " + callError.name + " " + callError.message);
    };

    std::vector<std::string> results;
    for (int i = 0; i < kWarmUp; ++i)
        search(terms[static_cast<std::size_t>(i) % terms.size()], results);
    server.clearRequests();

    std::vector<double> bus;
    int empty = 0;
    for (int i = 0; i < kCalls; ++i) {
        const std::size_t album = static_cast<std::size_t>(i) % terms.size();
        results.clear();
        auto start = Clock::now();
        search(terms[album], results);
        bus.push_back(msSince(start));
        empty += results.empty() ? 1 : 0;
        if (!results.empty() &&
            std::find(results.begin(), results.end(), albumIds[album]) == results.end())
            failed("the search for \"" + terms[album] + "\" did not find its album");
    }

    // The first search request of each call, as the server saw it.
    std::vector<std::pair<std::string, std::string>> firstRequests;  // target, authorisation
    std::string lastTerm;
    for (const auto& request : server.requests()) {
        auto term = request.queryValue("SearchTerm");
        if (request.method != "GET" || !term || (*term == lastTerm && !firstRequests.empty()))
            continue;
        lastTerm = *term;
        firstRequests.emplace_back(request.target,
                                   request.header("X-Vorn-Authorization").value_or(""));
    }
    if (firstRequests.size() != static_cast<std::size_t>(kCalls))
        failed("expected one first search request per call, found " +
               std::to_string(firstRequests.size()));

    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, dropBody);
    std::vector<double> plain;
    for (const auto& [target, authorization] : firstRequests) {
        curl_slist* headers =
            curl_slist_append(nullptr, ("X-Vorn-Authorization: " + authorization).c_str());
        const std::string url = base + target;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        auto start = Clock::now();
        CURLcode code = curl_easy_perform(easy);
        plain.push_back(msSince(start));
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(headers);
        if (code != CURLE_OK || status != 200)
            failed("libcurl search failed: " + std::to_string(status));
    }
    curl_easy_cleanup(easy);

    const double median = percentile(bus, 0.5);
    const double plainMedian = percentile(plain, 0.5);
    std::printf(
        "search.initial_result_set calls=%d median_ms=%.2f p99_ms=%.2f (target < 150) empty=%d "
        "libcurl_median_ms=%.2f libcurl_p99_ms=%.2f ratio=%.2f\n",
        kCalls, median, percentile(bus, 0.99), empty, plainMedian, percentile(plain, 0.99),
        median / plainMedian);

    provider.reset();
    providerBus.reset();
    callerBus.reset();
    stopBus();
    server.stop();
    return 0;
}
