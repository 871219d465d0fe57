#include "tools/vornctl/PlaybackDemo.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "tools/vornctl/Playthrough.h"
#include "tools/vornctl/ServerOptions.h"

namespace vornctl {

namespace {

constexpr const char* kToken = "demo-token-77c2";
constexpr const char* kUser = "demo-user-2";

/// Shows the playback classes' log lines inline; the client's request lines are left out.
class PlaybackLogLines : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        if (record.category == "ApiClient")
            return;
        std::lock_guard lock(mutex_);
        std::printf("  [log %s] %s\n", record.category.c_str(), record.message.c_str());
        std::fflush(stdout);
    }

  private:
    std::mutex mutex_;
};

std::string seconds(std::int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ticks) / 1e7);
    return text;
}

}  // namespace

int runPlaybackDemo() {
    refserver::RefServer::Options serverOptions;
    serverOptions.serverName = "Demo Server";
    serverOptions.accessToken = kToken;
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 12;
    libraryOptions.userId = kUser;
    auto library = refserver::Library::install(server, libraryOptions);
    auto address = server.listen({"local", "127.0.0.1", 0, std::nullopt});
    if (!address) {
        std::printf("cannot start the reference server\n");
        return 1;
    }
    auto tracks = library->ofType("Audio");
    std::sort(tracks.begin(), tracks.end(),
              [](auto* a, auto* b) { return a->audioSeconds < b->audioSeconds; });
    const std::vector<std::string> ids = {tracks[0]->id, tracks[1]->id};

    PlaythroughOptions options;
#ifdef VK_HAVE_MPV
    options.speed = 8;
    std::printf("libmpv (null audio output, 8x speed) plays \"%s\" (%d s) and \"%s\" (%d s)\n",
                tracks[0]->name.c_str(), tracks[0]->audioSeconds, tracks[1]->name.c_str(),
                tracks[1]->audioSeconds);
#else
    options.simulate = true;
    options.fast = true;
    std::printf("(built without libmpv) the simulated player plays \"%s\" and \"%s\"\n",
                tracks[0]->name.c_str(), tracks[1]->name.c_str());
#endif
    std::printf("every statement handed to the web view (js:) and report sent (report:):\n");

    ServerOptions server0;
    server0.serverId = serverOptions.serverId;
    server0.name = "Demo Server";
    server0.localAddress = *address;
    server0.token = kToken;
    server0.userId = kUser;
    server0.deviceId = "demo-device-2";
    auto client = makeReportingClient(server0.serverInfo(), server0.deviceInfo());
    auto previous = vk::Log::setSink(std::make_shared<PlaybackLogLines>());
    std::string error;
    int status = 1;
    if (resolveAddress(*client, error)) {
        status = playThrough(client, ids, options);
    } else {
        std::printf("resolution failed: %s\n", error.c_str());
    }
    vk::Log::setSink(previous);

    const auto recorded = library->reports();
    std::printf("the reference server recorded %zu report(s):\n", recorded.size());
    std::size_t starts = 0;
    std::size_t stops = 0;
    for (const auto& report : recorded) {
        const std::string* name = &report.itemId;
        for (const auto* track : tracks) {
            if (track->id == report.itemId)
                name = &track->name;
        }
        std::printf("  %-26s %-11s %-22s position %s\n", report.endpoint.c_str(),
                    report.eventName.empty() ? "-" : report.eventName.c_str(), name->c_str(),
                    report.positionTicks ? seconds(*report.positionTicks).c_str() : "-");
        starts += report.endpoint == "Sessions/Playing" ? 1 : 0;
        stops += report.endpoint == "Sessions/Playing/Stopped" ? 1 : 0;
    }
    for (std::size_t i = 0; i < 2; ++i) {
        auto state = library->userState(ids[i]);
        std::printf("  \"%s\": Played=%s PlayCount=%lld\n", tracks[i]->name.c_str(),
                    state.played ? "true" : "false", static_cast<long long>(state.playCount));
    }
    server.stop();
    return status == 0 && starts == 2 && stops == 2 ? 0 : 1;
}

}  // namespace vornctl
