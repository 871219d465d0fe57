// `vornctl companion`: the application side of the watch link, running until stopped (Ctrl-C or
// SIGTERM). It activates the watch session (listening; see WatchLinkOptions.h), answers
// getCredentials with an updateCredentials message carrying the stored credentials, starts
// playback of the items a startPlayback names (through the event bridge, on libmpv or, with
// --simulate or without libmpv, the simulated player), obeys sendPlayerCommand, and forwards the
// player's state as plyabackStateUpdate messages (as the application context, and as a message
// while the watch is reachable).
//
// Output, one line each: the delegater's session status lines, "watch: <command> <payloads>" for
// every message from the watch, "reply: updateCredentials <n> server(s)", "player: <what it
// did>" and "sent: plyabackStateUpdate <event>".
#include <atomic>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Dispatch.h"
#include "VornKit/Platform/NotificationCenter.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "VornKit/Playback/SimulatedPlayer.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"
#include "VornKit/Watch/WCCommands.h"
#include "VornKit/Watch/WCSessionDelegater.h"
#include "tools/vornctl/Await.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"
#include "tools/vornctl/WatchLinkOptions.h"
#ifdef VK_HAVE_MPV
#include "VornKit/Mpv/MpvPlayer.h"
#endif

namespace {

using namespace std::chrono_literals;

const char* const kUsage = "usage: vornctl companion [--simulate] [--fast] [link options]\n";

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested = true;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string payloads(const vk::WCMessage& message) {
    std::string out;
    if (message.credentialsData)
        out += " credentialsData=<" +
               std::to_string(message.credentialsData->credentials.Servers.size()) + " server(s)>";
    if (message.playbackData) {
        if (auto json = vk::JsonEncoder().encode(*message.playbackData))
            out += " playbackData=" + *json;
    }
    return out;
}

/// The web view of the event bridge: this host has none, the statements are dropped.
class NoWebView : public vk::WebViewMessageDelegate {
  public:
    void respondToWebview(const std::string&) override {}
};

class Companion : public vk::WCMessageReplyDelegate,
                  public vk::PlayerEventDelegate,
                  public std::enable_shared_from_this<Companion> {
  public:
    Companion(std::shared_ptr<vk::WatchSession> session, bool simulate, bool fast)
        : session_(std::move(session)), commands_(session_), simulate_(simulate), fast_(fast) {}

    // The session's queue: credentials are answered at once; everything else goes to the main
    // thread's inbox, and the watch gets an empty answer.
    void didReceiveMessage(const vk::WCMessage& message,
                           std::function<void(std::optional<vk::WCMessage>)> reply) override {
        if (message.command != vk::Command::getCredentials) {
            receive(message);
            reply(std::nullopt);
            return;
        }
        printLine("watch: getCredentials" + payloads(message));
        auto credentials =
            vk::ConnectionManager::sharedInstance()->credentialsManager()->getCurrentCredentials();
        if (!credentials) {
            printLine("reply: nothing (no stored credentials; see vornctl login)");
            reply(std::nullopt);
            return;
        }
        printLine("reply: updateCredentials " + std::to_string(credentials->Servers.size()) +
                  " server(s)");
        reply(vk::WCMessage(vk::Command::updateCredentials, vk::WCCredentialsData(*credentials)));
    }

    /// Any thread: queues a message for the main thread.
    void receive(vk::WCMessage message) {
        {
            std::lock_guard lock(mutex_);
            inbox_.push_back(std::move(message));
        }
        vk::DispatchQueue::main()->async([] {});  // wakes the loop
    }

    /// Main thread: handles the queued messages.
    void drain() {
        for (;;) {
            std::optional<vk::WCMessage> next;
            {
                std::lock_guard lock(mutex_);
                if (inbox_.empty())
                    return;
                next = std::move(inbox_.front());
                inbox_.pop_front();
            }
            handle(*next);
        }
    }
    bool pending() {
        std::lock_guard lock(mutex_);
        return !inbox_.empty();
    }

    void stopPlayer() {
        if (player_)
            player_->stop({});
    }

    // Player events (main queue) become state updates for the watch.
    void fileDidLoad() override { forward(vk::PlayerEvent::fileDidLoad); }
    void fileDidEnd() override { forward(vk::PlayerEvent::fileDidEnd); }
    void playbackDidPause() override { forward(vk::PlayerEvent::paused); }
    void playbackDidUnpause() override { forward(vk::PlayerEvent::unpaused); }
    void shutdown() override { forward(vk::PlayerEvent::shutdown); }

  private:
    void handle(const vk::WCMessage& message) {
        printLine("watch: " + std::string(vk::rawValue(message.command)) + payloads(message));
        switch (message.command) {
            case vk::Command::startPlayback:
                if (message.playbackData && message.playbackData->items)
                    startPlayback(*message.playbackData->items, message.playbackData->startIndex);
                break;
            case vk::Command::sendPlayerCommand:
                if (message.playbackData && message.playbackData->command)
                    obey(*message.playbackData->command);
                break;
            default:
                break;
        }
    }

    void startPlayback(const std::vector<std::shared_ptr<vk::BaseItemDto>>& items,
                       std::int64_t startIndex) {
        auto manager = vk::ConnectionManager::sharedInstance();
        std::vector<std::shared_ptr<vk::MediaItem>> queue;
        std::optional<vk::MediaSourceInfo> startSource;
        std::shared_ptr<vk::ApiClient> client;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!items[i])
                continue;
            const vk::BaseItemDto& wanted = *items[i];
            client = !wanted.ServerId.view().empty() ? manager->getApiClient(wanted.ServerId.str())
                                                     : manager->getLastUsedApiClient();
            if (!client) {
                printLine("player: no server for item " + wanted.Id.str());
                return;
            }
            std::string error;
            if (!client->serverAddress() && !vornctl::resolveAddress(*client, error)) {
                printLine("player: " + error);
                return;
            }
            auto user = client->currentUserId();
            auto url = client->getUrl(
                user ? "Users/" + *user + "/Items/" + wanted.Id.str() : "Items/" + wanted.Id.str(),
                {});
            std::optional<std::string> json;
            if (url) {
                json = vornctl::awaitCompletion<std::string>(
                    [&](auto done) { client->sendRequest(vk::UrlRequest(*url), std::move(done)); },
                    30s);
            }
            auto dto =
                json
                    ? vk::JsonDecoder().decode<std::shared_ptr<vk::BaseItemDto>>(*json).toOptional()
                    : std::nullopt;
            if (!dto || !*dto) {
                printLine("player: item " + wanted.Id.str() + " could not be fetched");
                return;
            }
            auto stream = client->getAudioStreamURL(**dto, std::nullopt, std::nullopt, std::nullopt,
                                                    std::nullopt, std::nullopt, std::nullopt,
                                                    std::nullopt, 0, false);
            if (!stream) {
                printLine("player: no stream URL for item " + wanted.Id.str());
                return;
            }
            auto item = std::make_shared<vk::MediaItem>(
                stream->absoluteString(), (*dto)->Name.toOptional(), (*dto)->Album.toOptional(),
                (*dto)->AlbumArtist.toOptional(), std::nullopt, client->serverId(),
                (*dto)->Id.str(), "watch" + std::to_string(i));
            item->itemJson = *json;
            if (static_cast<std::int64_t>(i) == startIndex) {
                startSource = (*dto)->MediaSources && !(*dto)->MediaSources->empty()
                                  ? (*dto)->MediaSources->front()
                                  : vk::MediaSourceInfo((*dto)->Id.view(), (*dto)->RunTimeTicks);
            }
            queue.push_back(std::move(item));
        }
        if (queue.empty())
            return;
        if (!ensurePlayer(client))
            return;
        auto start = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(startIndex, 0, static_cast<std::int64_t>(queue.size()) - 1));
        printLine("player: playing " + std::to_string(queue.size()) + " item(s) from " +
                  std::to_string(start));
        playback_->playAudio(queue, false, startSource, start, 0);
    }

    bool ensurePlayer(const std::shared_ptr<vk::ApiClient>& client) {
        if (player_)
            return true;
        const std::string serverId = client->serverId();
        handler_ = vk::PlayerEventHandler::create(
            std::make_shared<NoWebView>(), {}, [](const std::string& id) {
                return vk::ConnectionManager::sharedInstance()->getApiClient(id);
            });
        handler_->setCurrentMediaType(vk::MediaType::Audio);
        bool simulate = simulate_;
#ifndef VK_HAVE_MPV
        simulate = true;
#endif
        if (simulate) {
            vk::SimulatedPlayer::Options options;
            options.fast = fast_;
            auto p = vk::SimulatedPlayer::make(options);
            player_ = p;
            playback_ = p;
        } else {
#ifdef VK_HAVE_MPV
            vk::MpvPlayer::Options options;
            options.audioOutput = "null";
            auto p = vk::MpvPlayer::create(options);
            if (!p->isInitialized()) {
                printLine("player: libmpv could not start (see the log)");
                return false;
            }
            player_ = p;
            playback_ = p;
#endif
        }
        handler_->setPlayer(player_);
        player_->addDelegate(handler_);
        player_->addDelegate(shared_from_this());
        return true;
    }

    void obey(const vk::PlayerCommandWrapper& command) {
        if (!player_) {
            printLine("player: nothing is playing");
            return;
        }
        printLine("player: " + std::string(vk::rawValue(command.command)));
        switch (command.command) {
            case vk::PlayerCommand::destroyPlayer:
            case vk::PlayerCommand::stop:
                player_->stop({});
                break;
            case vk::PlayerCommand::playAtIndex: {
                const std::int64_t* index = command.arg ? command.arg->intValue() : nullptr;
                auto queue = player_->getCurrentQueue();
                auto current = player_->getCurrentPlaylistIndex();
                if (!index || *index < 0 || *index >= static_cast<std::int64_t>(queue.size())) {
                    printLine("player: playAtIndex needs an index in the queue");
                    break;
                }
                for (auto i = current; i < *index; ++i)
                    player_->nextTrack();
                for (auto i = current; i > *index; --i)
                    player_->prevTrack();
                break;
            }
            case vk::PlayerCommand::playPause:
                player_->playPause();
                break;
            case vk::PlayerCommand::nextTrack:
                player_->nextTrack();
                break;
            case vk::PlayerCommand::prevTrack:
                player_->prevTrack();
                break;
        }
    }

    void forward(vk::PlayerEvent event) {
        std::optional<std::vector<std::shared_ptr<vk::MediaItem>>> queue;
        std::shared_ptr<vk::MediaItem> current;
        if (player_) {
            queue = player_->getCurrentQueue();
            current = player_->currentMediaItem();
        }
        vk::WCMessage update(
            vk::Command::plyabackStateUpdate, std::nullopt,
            vk::WCPlaybackData(vk::WCPlaybackStateUpdateData(event, current, queue)));
        (void)commands_.updateApplicationContext(update);
        if (session_->isReachable())
            (void)commands_.sendMessage(update);
        printLine("sent: plyabackStateUpdate " + std::string(vk::rawValue(event)) +
                  (current && current->Title ? " " + *current->Title : std::string()));
    }

    std::shared_ptr<vk::WatchSession> session_;
    vk::WCCommands commands_;
    bool simulate_;
    bool fast_;
    std::mutex mutex_;
    std::deque<vk::WCMessage> inbox_;
    std::shared_ptr<vk::PlayerEventHandler> handler_;
    std::shared_ptr<vk::Player> player_;
    std::shared_ptr<vk::Playback> playback_;
};

int companion(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    vk::WatchSessionConfiguration configuration;
    configuration.role = vk::WatchSessionConfiguration::Role::listener;
    std::string error;
    if (!vornctl::parseWatchLinkOptions(args, configuration, error)) {
        std::fprintf(stderr, "error: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    bool simulate = false;
    bool fast = false;
    for (const auto& a : args) {
        if (a == "--simulate") {
            simulate = true;
        } else if (a == "--fast") {
            fast = true;
        } else if (a == "--help" || a == "-h") {
            std::printf("%s%s", kUsage, vornctl::watchLinkOptionsUsage());
            return 0;
        } else {
            std::fprintf(stderr, "error: unexpected argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }

    auto session = vk::SocketWatchSession::make(configuration);
    vk::WatchSession::setDefaultSession(session);
    auto companion = std::make_shared<Companion>(session, simulate, fast);
    auto delegater = std::make_shared<vk::WCSessionDelegater>(companion);
    session->setDelegate(delegater);
    // Messages without a reply (and contexts, transfers) arrive as notifications.
    auto token = vk::NotificationCenter::defaultCenter().addObserver(
        std::string(vk::WCNotificationName::WCMessageRecieved), nullptr, nullptr,
        [companion](const vk::Notification& n) {
            if (const auto* message = std::any_cast<vk::WCMessage>(&n.object))
                companion->receive(*message);
        });
    session->activate();
    printLine("companion: listening on " +
              (configuration.tcpHost
                   ? *configuration.tcpHost + ":" + std::to_string(session->boundPort())
                   : session->configuration().socketPath.string()));

    stopRequested = false;
    auto previousInt = std::signal(SIGINT, onSignal);
    auto previousTerm = std::signal(SIGTERM, onSignal);
    auto heartbeat = vk::RepeatingTimer::schedule(vk::DispatchQueue::main(), 100ms, [] {});
    while (!stopRequested) {
        vk::RunLoop::main().runUntil([&] { return stopRequested || companion->pending(); },
                                     std::chrono::hours(1));
        companion->drain();
    }
    companion->stopPlayer();
    vk::RunLoop::main().runUntil([] { return false; }, 200ms);
    heartbeat->invalidate();
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    vk::NotificationCenter::defaultCenter().removeObserver(token);
    session->setDelegate({});
    printLine("companion: stopped");
    return 0;
}

}  // namespace

VORNCTL_COMMAND("companion",
                "companion [--simulate] [--fast] [link options]  the application side of the "
                "watch link, until stopped",
                companion);
