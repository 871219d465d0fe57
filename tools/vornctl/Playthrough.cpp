#include "tools/vornctl/Playthrough.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Media/FreedesktopNotificationCenter.h"
#include "VornKit/Platform/Media/MprisService.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "VornKit/Playback/RemoteControls.h"
#include "VornKit/Playback/SimulatedPlayer.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"
#include "tools/vornctl/Await.h"
#ifdef VK_HAVE_MPV
#include "VornKit/Mpv/MpvPlayer.h"
#endif

namespace vornctl {

namespace {

constexpr std::chrono::seconds kWait{60};

std::atomic<bool> interrupted{false};

void onInterrupt(int) {
    interrupted = true;
}

void printLine(const std::string& prefix, const std::string& text) {
    std::fwrite(prefix.data(), 1, prefix.size(), stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

/// The web view: prints each statement.
class PrintingWebView : public vk::WebViewMessageDelegate {
  public:
    void respondToWebview(const std::string& javaScript) override { printLine("js: ", javaScript); }
};

/// A client that prints each report it sends (after the progress throttle) and counts the
/// answers still to come.
class ReportingClient : public vk::ApiClient {
  public:
    using ApiClient::ApiClient;

    void reportPlaybackStart(const vk::PlaybackProgressInfo& info) override {
        print("start", info);
        ApiClient::reportPlaybackStart(info);
    }
    void sendPlaybackProgress(const vk::PlaybackProgressInfo& info) override {
        print("progress", info);
        ApiClient::sendPlaybackProgress(info);
    }
    void reportPlaybackStopped(const vk::PlaybackStopInfo& info) override {
        print("stop", info);
        ApiClient::reportPlaybackStopped(info);
    }
    void postContent(const vk::Url& url, std::string body, TextCompletion completion) override {
        ++*pending_;
        ApiClient::postContent(url, std::move(body),
                               [pending = pending_, completion](std::optional<std::string> answer) {
                                   completion(std::move(answer));
                                   --*pending;
                               });
    }
    int pending() const { return *pending_; }

  private:
    static void print(const char* kind, const vk::PlaybackReportingInfo& info) {
        if (auto json = info.encodedJson())
            printLine(std::string("report: ") + kind + " ", *json);
    }

    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
};

/// Notes when playback is over: the last entry ended or failed, or the player shut down.
class EndWatcher : public vk::PlayerEventDelegate {
  public:
    explicit EndWatcher(std::size_t queueLength) : queueLength_(queueLength) {}
    void playlistPositionChanged(std::int32_t index) override { index_ = index; }
    void fileDidLoad() override { ++loaded_; }
    void fileDidEnd() override { ended_ = true; }
    void fileDidEndWithErrorCode(std::int32_t) override {
        ++failed_;
        if (static_cast<std::size_t>(index_) + 1 >= queueLength_)
            ended_ = true;
    }
    void shutdown() override { ended_ = true; }
    bool ended() const { return ended_; }
    int failed() const { return failed_; }
    int loaded() const { return loaded_; }

  private:
    std::size_t queueLength_;
    std::int32_t index_ = 0;
    bool ended_ = false;
    int failed_ = 0;
    int loaded_ = 0;
};

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    std::fflush(stdout);
    return 1;
}

}  // namespace

std::shared_ptr<vk::ApiClient> makeReportingClient(vk::ServerInfo server, vk::DeviceInfo device) {
    return std::make_shared<ReportingClient>(std::move(server), std::move(device));
}

int playThrough(const std::shared_ptr<vk::ApiClient>& client,
                const std::vector<std::string>& itemIds, const PlaythroughOptions& options) {
#ifndef VK_HAVE_MPV
    if (!options.simulate)
        return fail("this vornctl was built without libmpv; use --simulate");
#endif
    if (itemIds.empty())
        return fail("no items to play");
    const std::optional<std::string> user =
        options.userId ? options.userId : client->currentUserId();

    // The items as the web user interface would queue them.
    std::vector<std::shared_ptr<vk::MediaItem>> queue;
    std::optional<vk::MediaSourceInfo> firstSource;
    for (std::size_t i = 0; i < itemIds.size(); ++i) {
        const std::string& id = itemIds[i];
        const std::string segment = vk::ApiClient::pathSegment(id);
        auto url =
            client->getUrl(user ? "Users/" + vk::ApiClient::pathSegment(*user) + "/Items/" + segment
                                : "Items/" + segment,
                           {});
        if (!url)
            return fail("no URL for item " + id);
        auto json = awaitCompletion<std::string>(
            [&](auto done) { client->sendRequest(vk::UrlRequest(*url), std::move(done)); }, kWait);
        if (!json)
            return fail("item " + id + " could not be fetched (see the log)");
        auto decoded = vk::JsonDecoder().decode<std::shared_ptr<vk::BaseItemDto>>(*json);
        if (!decoded || !*decoded)
            return fail("item " + id + ": " + decoded.error().description());
        const vk::BaseItemDto& dto = **decoded;
        auto stream =
            client->getAudioStreamURL(dto, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt, std::nullopt, std::nullopt, 0, false);
        if (!stream)
            return fail("no stream URL for item " + id + " (is there an access token?)");
        auto cover =
            client->getScaledImageUrl(dto.Id.str(), vk::ImageOptions(vk::ImageType::Primary), {});
        std::optional<std::string> artist = dto.AlbumArtist.toOptional();
        if (!artist && !dto.ArtistItems.empty())
            artist = dto.ArtistItems.front().Name.toOptional();
        auto item = std::make_shared<vk::MediaItem>(
            stream->absoluteString(), dto.Name.toOptional(), dto.Album.toOptional(), artist,
            cover ? std::optional<std::string>(cover->absoluteString()) : std::nullopt,
            client->serverId(), dto.Id.str(), "playlistItem" + std::to_string(i));
        item->itemJson = *json;
        if (i == 0) {
            firstSource = dto.MediaSources && !dto.MediaSources->empty()
                              ? dto.MediaSources->front()
                              : vk::MediaSourceInfo(dto.Id.view(), dto.RunTimeTicks);
        }
        queue.push_back(std::move(item));
    }

    auto web = std::make_shared<PrintingWebView>();
    const std::string serverId = client->serverId();
    auto handler = vk::PlayerEventHandler::create(
        web, {},
        [client, serverId](const std::string& id) { return id == serverId ? client : nullptr; });
    handler->setCurrentMediaType(vk::MediaType::Audio);
    auto watcher = std::make_shared<EndWatcher>(queue.size());

    std::shared_ptr<vk::Player> player;
    std::shared_ptr<vk::Playback> playback;
    if (options.simulate) {
        vk::SimulatedPlayer::Options simulated;
        simulated.fast = options.fast;
        simulated.speed = options.speed;
        auto p = vk::SimulatedPlayer::make(simulated);
        player = p;
        playback = p;
    } else {
#ifdef VK_HAVE_MPV
        vk::MpvPlayer::Options mpv;
        if (!options.audio)
            mpv.audioOutput = "null";
        mpv.extraOptions.emplace_back("speed", std::to_string(options.speed));
        auto p = vk::MpvPlayer::create(mpv);
        if (!p->isInitialized())
            return fail("libmpv could not start (see the log)");
        player = p;
        playback = p;
#endif
    }
    handler->setPlayer(player);
    player->addDelegate(handler);
    player->addDelegate(watcher);

    // Now playing on the desktop while it plays: MPRIS (playerctl -p vornctl) and a notification
    // per item, when there is a session bus. Its name goes to standard error, which carries no
    // contract.
    std::shared_ptr<vk::MprisService> mpris;
    std::shared_ptr<vk::RemoteControls> remote;
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        vk::MprisService::Options published;
        published.busNameSuffix = "vornctl";
        published.identity = "vornctl";
        mpris = vk::MprisService::start(published);
    }
    if (mpris) {
        std::fprintf(stderr, "mpris: %s\n", mpris->busName().c_str());
        vk::RemoteControls::Services services;
        services.nowPlayingCenter = mpris->nowPlayingCenter();
        services.commandCenter = mpris->commandCenter();
        services.notificationCenter = vk::FreedesktopNotificationCenter::make("vornctl");
        remote = vk::RemoteControls::initWithPlayer(player, services);
    }

    interrupted = false;
    auto previous = std::signal(SIGINT, onInterrupt);
    // Keeps the loop turning so that an interrupt is noticed while nothing else happens.
    auto heartbeat = vk::RepeatingTimer::schedule(vk::DispatchQueue::main(),
                                                  std::chrono::milliseconds(100), [] {});
    playback->playAudio(queue, false, firstSource, 0, 0);
    bool stopping = false;
    vk::RunLoop::main().runUntil(
        [&] {
            if (interrupted && !stopping) {
                stopping = true;
                player->stop({});
            }
            return watcher->ended();
        },
        std::chrono::hours(24));
    heartbeat->invalidate();
    std::signal(SIGINT, previous);

    auto* reporting = dynamic_cast<ReportingClient*>(client.get());
    const bool answered = vk::RunLoop::main().runUntil(
        [&] { return !reporting || reporting->pending() == 0; }, kWait);
    player->removeDelegate(handler);
    if (!answered)
        return fail("the server did not answer every report");
    if (interrupted)
        return fail("interrupted");
    if (watcher->failed() > 0)
        return fail(std::to_string(watcher->failed()) + " item(s) could not be played");
    return 0;
}

}  // namespace vornctl
