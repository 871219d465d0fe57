// 2,000 GETs of "System/Endpoint" through ApiClient::fetchContent against a plain libcurl loop,
// both to the reference server on loopback, in the same run.
//
//   fetchContent: the 2,000 requests are started at once, as a screen full of queries would be;
//   each goes through the authorisation header, the shared session's worker thread (at most its
//   per-host cap of connections, kept alive), the hop to the session's delegate queue, JSON
//   decoding into EndpointInfo and the log line (to a sink that drops it).
//   libcurl: one easy handle, reused, sending the same request with the same header 2,000 times
//   in a row.
//
//   one after another: the same 2,000 fetchContent requests, each started from the previous one's
//   completion (as a host opens a view, then its items, then an item), against the same libcurl
//   loop; the median and 99th percentile of every single request's latency are printed for both.
//
// Each side runs five times, alternating; the best time of each side is compared (the one least
// disturbed by other load on the machine).
//
// Then the threads address resolution starts: 1 and then 20 servers resolve their addresses at
// once (two candidates each, so that probes run), and the threads the process gained while the
// probes are in flight are counted (the reference server's own threads exist before).
//
// Prints
//   "api.fetch_vs_libcurl ratio=<fetch/libcurl> (target <= 1.3) connections=<opened by the
//   session over the whole run> (cap <per-host cap>)"
//   "api.sequential_fetch_vs_libcurl ratio=<fetch/libcurl> (target <= 1.3) fetch_median_us=...
//   fetch_p99_us=... libcurl_median_us=... libcurl_p99_us=..."
//   "api.resolution_threads servers=<n> threads_started=<k>"
#include <curl/curl.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/RefServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRequests = 2000;
constexpr int kTrials = 5;
constexpr const char* kToken = "bench-token";

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

[[noreturn]] void failed(const char* what) {
    std::fprintf(stderr, "bench_api_fetch: %s\n", what);
    std::exit(1);
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// Total seconds; each request's latency in microseconds is appended to `latencies`.
double libcurlLoop(const std::string& url, const std::string& header, int requests,
                   std::vector<double>& latencies) {
    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, header.c_str());
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");  // as the session sends it
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        auto begun = Clock::now();
        body.clear();
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK ||
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200 ||
            body.empty()) {
            failed("a libcurl request failed");
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return seconds;
}

// Starts `requests` fetches at once and waits for the last completion.
double fetchBurst(vk::ApiClient& client, const vk::Url& url, int requests) {
    std::mutex mutex;
    std::condition_variable done;
    int remaining = requests;
    std::atomic<bool> anyFailed{false};
    auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        client.fetchContent<vk::EndpointInfo>(vk::UrlRequest(url), vk::JsonDecoder(), nullptr,
                                              [&](std::optional<vk::EndpointInfo> info) {
                                                  if (!info)
                                                      anyFailed = true;
                                                  std::lock_guard lock(mutex);
                                                  if (--remaining == 0)
                                                      done.notify_one();
                                              });
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return remaining == 0; });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (anyFailed)
        failed("a fetchContent request failed");
    return seconds;
}

// One request after another, each started from the previous completion; latencies as above.
double fetchChain(vk::ApiClient& client, const vk::Url& url, int requests,
                  std::vector<double>& latencies) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int remaining = requests;
    Clock::time_point begun;
    std::function<void()> next = [&] {
        begun = Clock::now();
        client.fetchContent<vk::EndpointInfo>(
            vk::UrlRequest(url), vk::JsonDecoder(), nullptr,
            [&](std::optional<vk::EndpointInfo> info) {
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
                if (!info)
                    failed("a fetchContent request failed");
                if (--remaining > 0) {
                    next();
                    return;
                }
                std::lock_guard lock(mutex);
                finished = true;
                done.notify_one();
            });
    };
    auto start = Clock::now();
    next();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[at];
}

int threadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

// Starts resolutions for `servers` clients whose local address never answers the probe and
// whose remote address answers after a while; returns the threads gained while they run.
int resolutionThreads(refserver::RefServer& server, int servers) {
    std::vector<std::shared_ptr<vk::ApiClient>> clients;
    std::atomic<int> resolved{0};
    const int before = threadCount();
    for (int i = 0; i < servers; ++i) {
        vk::ServerInfo info;
        info.Id = "server-" + std::to_string(i);
        info.Name = info.Id;
        info.LocalAddress = server.address("silent");
        info.RemoteAddress = server.address("slow");
        auto client = std::make_shared<vk::ApiClient>(
            info, vk::DeviceInfo("bench", std::string("Bench"), std::string("1.0"), "Vorn"));
        client->getServerAddress(
            vk::DispatchQueue::global(),
            [&resolved](std::optional<std::string>, std::optional<vk::UrlError>) {
                resolved.fetch_add(1);
            });
        clients.push_back(std::move(client));
    }
    // The probes start from the main queue, 200 ms apart; look while both are in flight.
    int peak = before;
    vk::RunLoop::main().runUntil(
        [&] {
            peak = std::max(peak, threadCount());
            return resolved.load() == servers;
        },
        std::chrono::seconds(10));
    if (resolved.load() != servers)
        failed("a resolution did not end");
    return peak - before;
}

}  // namespace

int main() {
    auto root = std::filesystem::temp_directory_path() / "vornkit-bench-api";
    vk::Environment::install(vk::Environment::rootedAt(root));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());

    refserver::RefServer::Options options;
    options.accessToken = kToken;
    options.keepAliveSeconds = 5;
    refserver::RefServer server(options);
    std::optional<std::string> base = server.listen({"bench", "127.0.0.1", 0, std::nullopt});
    if (!base)
        failed("cannot start the reference server");

    vk::ServerInfo info;
    info.Id = "bench";
    info.Name = "Bench";
    info.AccessToken = kToken;
    info.LocalAddress = *base;
    auto client = std::make_shared<vk::ApiClient>(
        info,
        vk::DeviceInfo("bench-device", std::string("Bench Device"), std::string("1.0"), "Vorn"));
    client->setServerAddress(*base);
    vk::Url url = *client->getUrl("System/Endpoint", {});
    vk::UrlRequest authorised =
        vk::ApiClient::setRequestHeaders(vk::UrlRequest(url), client->deviceInfo(), kToken);
    std::string header = "X-Vorn-Authorization: " + *authorised.value("X-Vorn-Authorization");

    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto session = vk::defaultSession();
    // Warm-up: connections, caches, the worker pool.
    std::vector<double> curlLatencies, chainLatencies;
    libcurlLoop(url.absoluteString(), header, 200, curlLatencies);
    fetchBurst(*client, url, 200);
    fetchChain(*client, url, 200, chainLatencies);
    curlLatencies.clear();
    chainLatencies.clear();

    double bestCurl = 1e9;
    double bestFetch = 1e9;
    double bestChain = 1e9;
    for (int trial = 1; trial <= kTrials; ++trial) {
        double curl = libcurlLoop(url.absoluteString(), header, kRequests, curlLatencies);
        double fetch = fetchBurst(*client, url, kRequests);
        double chain = fetchChain(*client, url, kRequests, chainLatencies);
        std::printf(
            "api.fetch_vs_libcurl trial=%d fetch_total_ms=%.1f sequential_total_ms=%.1f "
            "libcurl_total_ms=%.1f\n",
            trial, fetch * 1e3, chain * 1e3, curl * 1e3);
        bestCurl = std::min(bestCurl, curl);
        bestFetch = std::min(bestFetch, fetch);
        bestChain = std::min(bestChain, chain);
    }
    const auto connections = session->statistics().connectionsOpened;
    std::printf("api.fetch_vs_libcurl ratio=%.2f (target <= 1.3) connections=%llu (cap %d)\n",
                bestFetch / bestCurl, static_cast<unsigned long long>(connections),
                session->configuration().httpMaximumConnectionsPerHost);
    std::printf(
        "api.sequential_fetch_vs_libcurl ratio=%.2f (target <= 1.3) fetch_median_us=%.1f "
        "fetch_p99_us=%.1f libcurl_median_us=%.1f libcurl_p99_us=%.1f\n",
        bestChain / bestCurl, percentile(chainLatencies, 0.5), percentile(chainLatencies, 0.99),
        percentile(curlLatencies, 0.5), percentile(curlLatencies, 0.99));

    // Resolution: "silent" never answers the probe, "slow" answers it after 300 ms.
    server.listen({"silent", "127.0.0.1", 0, std::nullopt});
    server.listen({"slow", "127.0.0.1", 0, std::nullopt});
    server.addFault({"silent", "/vorn/system/info/public", "", refserver::Fault::hang(), -1});
    server.addFault({"slow", "/vorn/system/info/public", "",
                     refserver::Fault::delayBy(std::chrono::milliseconds(300)), -1});
    // The listeners' own threads start a moment after listen(); count from a settled process.
    for (int settled = -1; settled != threadCount();) {
        settled = threadCount();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int servers : {1, 20}) {
        int started = resolutionThreads(server, servers);
        std::printf("api.resolution_threads servers=%d threads_started=%d\n", servers, started);
    }
    server.releaseHangs();
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
