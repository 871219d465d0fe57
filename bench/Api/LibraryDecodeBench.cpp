// A 5,000-item GetItems answer, end to end against the decode alone, in the same run.
//
//   end to end: ApiClient::getItems for the user's 5,000 tracks (Recursive, IncludeItemTypes=Audio,
//   Limit=5000) against the reference server on loopback: URL building, the authorised request,
//   the server filtering its library and writing about 6 MB of JSON, the transfer, the hop to the
//   session's delegate queue and the decoding into GetItemsResponse / BaseItemDto records, up to
//   the completion.
//   decode alone: JsonDecoder::decode<GetItemsResponse> of the very bytes that answer carries.
//
// Each side runs fifteen times, alternating; the best time of each side is compared. Also printed,
// for information: the same request without decoding (sendRequest, the answer as text), the part
// that the network and the server take. Prints
// "api.items_end_to_end_vs_decode ratio=<end to end / decode> (target <= 2.0)".
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kItems = 5000;
constexpr int kTrials = 15;
constexpr const char* kToken = "bench-token";
constexpr const char* kUser = "bench-user";

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

[[noreturn]] void failed(const char* what) {
    std::fprintf(stderr, "bench_library_decode: %s\n", what);
    std::exit(1);
}

const vk::ApiClient::QueryParams& query() {
    static const vk::ApiClient::QueryParams params = {
        {"Recursive", "true"},
        {"IncludeItemTypes", "Audio"},
        {"Limit", std::to_string(kItems)},
        {"SortBy", "SortName"},
    };
    return params;
}

// One getItems call: seconds from the call to the completion.
double endToEnd(vk::ApiClient& client) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::size_t count = 0;
    Clock::time_point end;
    const auto start = Clock::now();
    client.getItems(std::string(kUser), query(), [&](std::optional<vk::GetItemsResponse> response) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        end = now;
        count = response ? response->Items.size() : 0;
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    if (count != static_cast<std::size_t>(kItems))
        failed("getItems did not return every item");
    return std::chrono::duration<double>(end - start).count();
}

// The raw answer of the same request.
std::string fetchBody(vk::ApiClient& client) {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::optional<std::string>> body;
    client.sendRequest(
        vk::UrlRequest(*client.getUrl("Users/" + std::string(kUser) + "/Items", query())),
        [&](std::optional<std::string> text) {
            std::lock_guard lock(mutex);
            body = std::move(text);
            done.notify_one();
        });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return body.has_value(); });
    if (!*body)
        failed("the answer could not be fetched");
    return **body;
}

double decodeAlone(const std::string& body) {
    const auto start = Clock::now();
    auto decoded = vk::JsonDecoder().decode<vk::GetItemsResponse>(body);
    const auto end = Clock::now();
    if (!decoded || decoded->Items.size() != static_cast<std::size_t>(kItems))
        failed("the answer does not decode");
    return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main() {
    auto root = std::filesystem::temp_directory_path() / "vornkit-bench-library";
    vk::Environment::install(vk::Environment::rootedAt(root));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());

    refserver::RefServer::Options options;
    options.accessToken = kToken;
    options.keepAliveSeconds = 5;
    refserver::RefServer server(options);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = kItems;
    libraryOptions.userId = kUser;
    refserver::Library::install(server, libraryOptions);
    std::optional<std::string> base = server.listen({"bench", "127.0.0.1", 0, std::nullopt});
    if (!base)
        failed("cannot start the reference server");

    vk::ServerInfo info;
    info.Id = "bench";
    info.Name = "Bench";
    info.AccessToken = kToken;
    info.UserId = kUser;
    info.LocalAddress = *base;
    auto client = std::make_shared<vk::ApiClient>(
        info,
        vk::DeviceInfo("bench-device", std::string("Bench Device"), std::string("1.0"), "Vorn"));
    client->setServerAddress(*base);

    // Warm-up: the connection, the worker pool, the allocator.
    const std::string body = fetchBody(*client);
    endToEnd(*client);
    decodeAlone(body);

    double bestEndToEnd = 1e9;
    double bestDecode = 1e9;
    double bestFetch = 1e9;
    for (int trial = 1; trial <= kTrials; ++trial) {
        double whole = endToEnd(*client);
        double decode = decodeAlone(body);
        const auto start = Clock::now();
        fetchBody(*client);
        double fetch = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "api.items_end_to_end trial=%d end_to_end_ms=%.1f decode_ms=%.1f "
            "fetch_only_ms=%.1f\n",
            trial, whole * 1e3, decode * 1e3, fetch * 1e3);
        bestEndToEnd = std::min(bestEndToEnd, whole);
        bestDecode = std::min(bestDecode, decode);
        bestFetch = std::min(bestFetch, fetch);
    }
    std::printf(
        "api.items_end_to_end_vs_decode items=%d answer_bytes=%zu end_to_end_ms=%.1f "
        "decode_ms=%.1f fetch_only_ms=%.1f (info; best of %d)\n",
        kItems, body.size(), bestEndToEnd * 1e3, bestDecode * 1e3, bestFetch * 1e3, kTrials);
    std::printf("api.items_end_to_end_vs_decode ratio=%.2f (target <= 2.0)\n",
                bestEndToEnd / bestDecode);
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
