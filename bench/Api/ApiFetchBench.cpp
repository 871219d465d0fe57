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
// Each side runs five times, alternating; the best time of each side is compared (the one least
// disturbed by other load on the machine). Also printed, for information: the time per request
// when fetchContent requests run one after another (each started from the previous completion),
// which adds the session's two thread hops to every request.
//
// Prints "api.fetch_vs_libcurl ratio=<fetch/libcurl> (target <= 1.3) connections=<opened by the
// session over the whole run> (cap <per-host cap>)".
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Bundle.h"
#include "VornKit/Platform/Environment.h"
#include "VornKit/Platform/Log.h"
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

double libcurlLoop(const std::string& url, const std::string& header, int requests) {
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
        body.clear();
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK ||
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200 ||
            body.empty()) {
            failed("a libcurl request failed");
        }
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

// One request after another, each started from the previous completion.
double fetchChain(vk::ApiClient& client, const vk::Url& url, int requests) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int remaining = requests;
    std::function<void()> next = [&] {
        client.fetchContent<vk::EndpointInfo>(vk::UrlRequest(url), vk::JsonDecoder(), nullptr,
                                              [&](std::optional<vk::EndpointInfo> info) {
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
    libcurlLoop(url.absoluteString(), header, 200);
    fetchBurst(*client, url, 200);

    double bestCurl = 1e9;
    double bestFetch = 1e9;
    for (int trial = 1; trial <= kTrials; ++trial) {
        double curl = libcurlLoop(url.absoluteString(), header, kRequests);
        double fetch = fetchBurst(*client, url, kRequests);
        std::printf("api.fetch_vs_libcurl trial=%d fetch_total_ms=%.1f libcurl_total_ms=%.1f\n",
                    trial, fetch * 1e3, curl * 1e3);
        bestCurl = std::min(bestCurl, curl);
        bestFetch = std::min(bestFetch, fetch);
    }
    const auto connections = session->statistics().connectionsOpened;
    double chain = fetchChain(*client, url, kRequests);
    std::printf(
        "api.fetch_one_after_another us_per_request=%.1f libcurl_us_per_request=%.1f (info)\n",
        chain * 1e6 / kRequests, bestCurl * 1e6 / kRequests);
    std::printf("api.fetch_vs_libcurl ratio=%.2f (target <= 1.3) connections=%llu (cap %d)\n",
                bestFetch / bestCurl, static_cast<unsigned long long>(connections),
                session->configuration().httpMaximumConnectionsPerHost);
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
