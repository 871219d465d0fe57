#include "tools/vornctl/LibraryDemo.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Api/ImageCache.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Coding/Image.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "tools/vornctl/Await.h"
#include "tools/vornctl/ServerOptions.h"

namespace vornctl {

namespace {

constexpr const char* kToken = "demo-token-9d41";
constexpr const char* kUser = "demo-user-1";
constexpr std::chrono::seconds kWait{30};
constexpr std::int64_t kTicksPerSecond = 10'000'000;

// Keeps the report answer lines; drops the rest (every request logs its URL).
class ReportLines : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        std::lock_guard lock(mutex_);
        if (record.message.rfind("reportPlayback", 0) == 0 ||
            record.message.rfind("Error", 0) == 0) {
            lines_.push_back(record.message);
        }
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A client whose throttle runs on a simulated clock, noting what the throttle lets through.
class SimulatedClockClient : public vk::ApiClient {
  public:
    using ApiClient::ApiClient;
    vk::Date now() const override { return clock; }
    void sendPlaybackProgress(const vk::PlaybackProgressInfo& info) override {
        ++letThrough;
        ApiClient::sendPlaybackProgress(info);
    }
    vk::Date clock = vk::Date(std::chrono::seconds(1'760'000'000));
    int letThrough = 0;
};

template <class T>
std::optional<T> wait(const std::function<void(std::function<void(std::optional<T>)>)>& start) {
    return awaitCompletion<T>(start, kWait);
}

struct Fetched {
    int status = 0;
    std::string body;
    std::string contentRange;
};

// A plain GET on the shared session, as an image view or a player would load a URL.
std::optional<Fetched> fetch(const vk::Url& url, const std::optional<std::string>& range) {
    vk::UrlRequest request(url);
    if (range)
        request.setValue(*range, "Range");
    return wait<Fetched>([&](auto done) {
        vk::defaultSession()
            ->dataTask(
                request,
                [done](std::optional<std::string> data, std::optional<vk::UrlResponse> response,
                       std::optional<vk::UrlError>) {
                    if (!response) {
                        done(std::nullopt);
                        return;
                    }
                    done(Fetched{response->statusCode, data.value_or(""),
                                 response->headers.value("Content-Range").value_or("")});
                })
            ->resume();
    });
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

void printItem(const vk::BaseItemDto& item) {
    std::printf("    %s  %-16s %s\n", item.Id.str().c_str(), item.Type.str().c_str(),
                item.fullName().str().c_str());
}

std::string seconds(std::int64_t ticks) {
    return std::to_string(ticks / kTicksPerSecond) + " s";
}

}  // namespace

int runLibraryDemo() {
    refserver::RefServer::Options serverOptions;
    serverOptions.serverName = "Demo Server";
    serverOptions.accessToken = kToken;
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 60;
    libraryOptions.userId = kUser;
    auto library = refserver::Library::install(server, libraryOptions);
    auto address = server.listen({"local", "127.0.0.1", 0, std::nullopt});
    if (!address) {
        std::printf("cannot start the reference server\n");
        return 1;
    }
    std::printf(
        "reference server with a generated library (%zu tracks, %zu albums, %zu "
        "artists, %zu movies) at %s\n",
        library->ofType("Audio").size(), library->ofType("MusicAlbum").size(),
        library->ofType("MusicArtist").size(), library->ofType("Movie").size(), address->c_str());

    ServerOptions options;
    options.serverId = serverOptions.serverId;
    options.name = "Demo Server";
    options.localAddress = *address;
    options.token = kToken;
    options.userId = kUser;
    options.deviceId = "demo-device-1";
    options.deviceName = std::string("Demo Desk");
    auto client =
        std::make_shared<SimulatedClockClient>(options.serverInfo(), options.deviceInfo());
    auto sink = std::make_shared<ReportLines>();
    auto previous = vk::Log::setSink(sink);
    auto restore = [&] { vk::Log::setSink(previous); };
    std::string error;
    if (!resolveAddress(*client, error)) {
        restore();
        std::printf("resolution failed: %s\n", error.c_str());
        return 1;
    }
    bool ok = true;

    // Browse: views > Music > first artist > first album > tracks.
    std::printf("getUserViews:\n");
    auto views = wait<vk::GetItemsResponse>(
        [&](auto done) { client->getUserViews(std::nullopt, {}, std::move(done)); });
    if (!views || views->Items.empty()) {
        restore();
        std::printf("  no views\n");
        return 1;
    }
    for (const auto& view : views->Items)
        printItem(*view);
    auto children = [&](const std::string& parent,
                        vk::ApiClient::QueryParams params) -> vk::ApiClient::ItemList {
        params["ParentId"] = parent;
        auto answer = wait<vk::GetItemsResponse>(
            [&](auto done) { client->getItems(std::string(kUser), params, std::move(done)); });
        return answer ? answer->Items : vk::ApiClient::ItemList{};
    };
    auto artists = children(views->Items.front()->Id.str(), {{"SortBy", "SortName"}});
    if (artists.empty()) {
        restore();
        std::printf("  no artists\n");
        return 1;
    }
    auto albums = children(artists.front()->Id.str(), {{"SortBy", "ProductionYear"}});
    if (albums.empty()) {
        restore();
        std::printf("  no albums\n");
        return 1;
    }
    const auto album = albums.front();
    std::printf("getItems ParentId=<%s> (artist), then ParentId=<%s> (album %s):\n",
                artists.front()->Name.str().c_str(), album->Name.str().c_str(),
                album->Id.str().c_str());
    auto tracks = children(album->Id.str(), {{"SortBy", "IndexNumber"}});
    for (const auto& track : tracks) {
        std::printf(
            "    %2d. %-26s %5s  %s%s\n", track->IndexNumber, track->Name.str().c_str(),
            seconds(track->RunTimeTicks).c_str(),
            track->UserData && track->UserData->IsFavorite.value_or(false) ? "favourite " : "",
            track->UserData && track->UserData->Played.value_or(false) ? "played" : "");
    }
    ok = ok && !tracks.empty();
    if (tracks.empty()) {
        restore();
        return 1;
    }

    std::printf("getLatestItems IncludeItemTypes=Audio,MusicAlbum Limit=4:\n");
    auto latest = wait<vk::ApiClient::ItemList>([&](auto done) {
        client->getLatestItems(std::nullopt,
                               {{"IncludeItemTypes", "Audio,MusicAlbum"}, {"Limit", "4"}},
                               std::move(done));
    });
    for (const auto& item : latest.value_or(vk::ApiClient::ItemList{}))
        printItem(*item);
    ok = ok && latest && !latest->empty();

    // A track long enough for the play-through below.
    std::shared_ptr<vk::BaseItemDto> track = tracks.front();
    for (const auto& candidate : tracks) {
        if (candidate->RunTimeTicks >= 40 * kTicksPerSecond) {
            track = candidate;
            break;
        }
    }

    // Favourite on and off again.
    const bool wasFavorite = track->UserData && track->UserData->IsFavorite.value_or(false);
    std::printf("favoriteItem \"%s\" (favourite now: %s):\n", track->Name.str().c_str(),
                wasFavorite ? "yes" : "no");
    for (bool on : {!wasFavorite, wasFavorite}) {
        auto data = wait<vk::UserItemDataDto>(
            [&](auto done) { client->favoriteItem(track->Id.str(), on, std::move(done)); });
        std::printf("    %-6s -> server answers IsFavorite=%s; server holds %s\n",
                    on ? "POST" : "DELETE",
                    data ? (data->IsFavorite.value_or(false) ? "true" : "false") : "(nothing)",
                    library->userState(track->Id.str()).isFavorite ? "favourite" : "not favourite");
        ok = ok && data && data->IsFavorite == on;
    }

    // The stream: its URL and the first bytes of the file.
    auto streamUrl = client->getAudioStreamURL(*track, std::nullopt, std::nullopt, std::nullopt,
                                               std::string("wav"), std::int64_t{320'000},
                                               std::nullopt, std::nullopt, 0, false);
    std::printf("getAudioStreamURL:\n    %s\n",
                streamUrl ? streamUrl->absoluteString().c_str() : "(none)");
    if (streamUrl) {
        auto head = fetch(*streamUrl, "bytes=0-43");
        if (head && head->status == 206 && head->body.size() == 44 &&
            head->body.compare(0, 4, "RIFF") == 0) {
            std::printf("    GET with Range bytes=0-43: %d, Content-Range %s\n", head->status,
                        head->contentRange.c_str());
            std::printf(
                "    first bytes: \"%s\" \"%s\" \"%s\", %u channel(s), %u Hz, %u-bit, "
                "%u bytes of samples\n",
                head->body.substr(0, 4).c_str(), head->body.substr(8, 4).c_str(),
                head->body.substr(12, 4).c_str(), littleEndian(head->body, 22, 2),
                littleEndian(head->body, 24, 4), littleEndian(head->body, 34, 2),
                littleEndian(head->body, 40, 4));
        } else {
            std::printf("    the stream did not answer as expected\n");
            ok = false;
        }
    } else {
        ok = false;
    }

    // A cover through the shared image cache: fetched once, then served from the cache.
    vk::ImageOptions imageOptions(vk::ImageType::Primary);
    imageOptions.MaxWidth = 120;
    imageOptions.Tag = album->primaryImageTag().toOptional();
    auto coverUrl = client->getScaledImageUrl(album->Id.str(), imageOptions, {{"api_key", kToken}});
    std::printf("getScaledImageUrl (MaxWidth=120):\n    %s\n",
                coverUrl ? coverUrl->absoluteString().c_str() : "(none)");
    if (coverUrl) {
        vk::ImageCache& cache = vk::ImageCache::defaultCache();
        const std::string key = coverUrl->absoluteString();
        auto load = [&]() -> std::pair<vk::ImageCache::ImagePtr, bool> {
            if (auto hit = cache.object(key))
                return {hit, true};
            auto got = fetch(*coverUrl, std::nullopt);
            if (!got || got->status != 200)
                return {nullptr, false};
            auto image = vk::Image::decode(got->body);
            if (!image || !image->hasBitmapData())
                return {nullptr, false};
            auto shared = std::make_shared<const vk::Image>(std::move(*image));
            cache.setObject(key, shared);
            return {shared, false};
        };
        auto [first, firstFromCache] = load();
        auto [second, secondFromCache] = load();
        const std::size_t served =
            server.requestsTo("/vorn/Items/" + album->Id.str() + "/Images").size();
        if (first) {
            std::printf(
                "    first load:  %s, decoded %dx%d, stored in ImageCache (count %zu of "
                "%zu)\n",
                firstFromCache ? "from the cache" : "fetched from the server", first->width(),
                first->height(), cache.count(), cache.countLimit());
            std::printf("    second load: %s%s; the server served the image %zu time(s)\n",
                        secondFromCache ? "from the cache" : "fetched again",
                        second == first ? " (the same image object)" : "", served);
        } else {
            std::printf("    the cover could not be loaded\n");
        }
        ok = ok && first && !firstFromCache && secondFromCache && second == first && served == 1;
    } else {
        ok = false;
    }

    // A simulated play-through: the throttle runs on a simulated clock, one report per second
    // of playback as a player's timer would send them, with a pause and a seek.
    std::printf("play-through of \"%s\" (%s), simulated clock, one TimeUpdate per second:\n",
                track->Name.str().c_str(), seconds(track->RunTimeTicks).c_str());
    library->clearReports();
    auto answered = [&] {
        std::size_t count = 0;
        for (const auto& line : sink->lines())
            count += line.find(" response: ") != std::string::npos ? 1 : 0;
        return count;
    };
    // Reports that the throttle lets through are a second or more apart in real playback; here
    // each waits for the answer to the one before, so that they reach the server in order.
    std::size_t sentSoFar = 0;
    auto settle = [&] {
        ++sentSoFar;
        vk::RunLoop::main().runUntil([&] { return answered() >= sentSoFar; }, kWait);
    };
    const std::string playSession = std::to_string(client->startingPlaySession() - 1);
    vk::PlaybackProgressInfo info(true, track->Id.str(), track->Id.str(), false, 0, 1, false,
                                  playSession, vk::RepeatMode::RepeatNone, 0);
    info.RunTimeTicks = track->RunTimeTicks;
    info.PlayMethod = vk::PlayMethod::DirectPlay;
    info.PositionTicks = 0;
    client->reportPlaybackStart(info);
    settle();
    std::printf("    t=  0 s  start                          -> sent\n");
    const std::int64_t duration = track->RunTimeTicks / kTicksPerSecond;
    std::int64_t position = 0;
    int dropped = 0;
    std::int64_t droppedFrom = 0;
    auto flushDropped = [&](std::int64_t until) {
        if (dropped > 0) {
            std::printf("    t=%3lld-%lld s  %d TimeUpdate reports         -> dropped\n",
                        static_cast<long long>(droppedFrom), static_cast<long long>(until),
                        dropped);
        }
        dropped = 0;
    };
    auto report = [&](std::int64_t t, vk::ProgressEvent event, const char* note) {
        client->clock = vk::Date(std::chrono::seconds(1'760'000'000 + t));
        info.EventName = event;
        info.IsPaused = event == vk::ProgressEvent::Pause;
        info.PositionTicks = position * kTicksPerSecond;
        const int before = client->letThrough;
        client->reportPlaybackProgress(info);
        const bool sent = client->letThrough > before;
        if (sent)
            settle();
        if (!sent && event == vk::ProgressEvent::TimeUpdate) {
            if (dropped == 0)
                droppedFrom = t;
            ++dropped;
            return;
        }
        flushDropped(t - 1);
        std::printf("    t=%3lld s  %-11s position %3lld s%s -> %s\n", static_cast<long long>(t),
                    std::string(vk::caseName(event)).c_str(), static_cast<long long>(position),
                    note, sent ? "let through" : "dropped");
    };
    std::int64_t t = 0;
    bool paused = false;
    while (position < duration) {
        ++t;
        if (t == 9) {
            report(t, vk::ProgressEvent::Pause, "         ");
            paused = true;
            continue;
        }
        if (t == 12) {
            paused = false;
            report(t, vk::ProgressEvent::Unpause, "         ");
            continue;
        }
        if (paused)
            continue;
        ++position;
        if (t == 20) {
            position += 15;
            report(t, vk::ProgressEvent::TimeUpdate, " (seek)  ");
            continue;
        }
        report(t, vk::ProgressEvent::TimeUpdate, "         ");
    }
    flushDropped(t);
    vk::PlaybackStopInfo stop(0, 1, track->Id.str(), track->Id.str(), playSession);
    stop.PositionTicks = position * kTicksPerSecond;
    client->reportPlaybackStopped(stop);
    std::printf("    t=%3lld s  stop        position %3lld s          -> sent\n",
                static_cast<long long>(t), static_cast<long long>(position));

    const std::size_t expected = static_cast<std::size_t>(client->letThrough) + 2;
    vk::RunLoop::main().runUntil(
        [&] { return library->reports().size() >= expected && answered() >= expected; }, kWait);
    restore();
    std::printf("  the client logged:\n");
    for (const auto& line : sink->lines())
        std::printf("    %s\n", line.c_str());
    auto recorded = library->reports();
    std::printf("  the server recorded %zu report(s) (the client sent %zu):\n", recorded.size(),
                expected);
    for (const auto& received : recorded) {
        std::printf("    %-26s %-12s position %s\n", received.endpoint.c_str(),
                    received.eventName.empty() ? "-" : received.eventName.c_str(),
                    received.positionTicks ? seconds(*received.positionTicks).c_str() : "-");
    }
    auto state = library->userState(track->Id.str());
    std::printf("  the server's user data now: Played=%s PlayCount=%lld\n",
                state.played ? "true" : "false", static_cast<long long>(state.playCount));
    ok = ok && recorded.size() == expected && answered() == expected && state.played;
    server.stop();
    return ok ? 0 : 1;
}

}  // namespace vornctl
