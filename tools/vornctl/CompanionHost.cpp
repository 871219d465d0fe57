// The application side of the watch link as `vornctl companion` and the demo run it (see
// CompanionHost.h).
#include "tools/vornctl/CompanionHost.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Playback/PlayerEventHandler.h"
#include "VornKit/Playback/SimulatedPlayer.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"
#include "VornKit/Watch/WCCommands.h"
#include "tools/vornctl/Await.h"
#include "tools/vornctl/ServerOptions.h"
#ifdef VK_HAVE_MPV
#include "VornKit/Mpv/MpvPlayer.h"
#endif

namespace vornctl {

namespace {

using namespace std::chrono_literals;

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

class Companion final : public CompanionHost,
                        public vk::WCMessageReplyDelegate,
                        public vk::PlayerEventDelegate,
                        public std::enable_shared_from_this<Companion> {
  public:
    Companion(std::shared_ptr<vk::WatchSession> session, bool simulate, bool fast,
              std::function<void(const std::string&)> print)
        : session_(std::move(session)),
          commands_(session_),
          simulate_(simulate),
          fast_(fast),
          print_(std::move(print)) {}

    std::shared_ptr<vk::WCMessageReplyDelegate> replyDelegate() override {
        return shared_from_this();
    }

    // The session's queue: credentials are answered at once; everything else goes to the main
    // thread's inbox, and the watch gets an empty answer.
    void didReceiveMessage(const vk::WCMessage& message,
                           std::function<void(std::optional<vk::WCMessage>)> reply) override {
        if (message.command != vk::Command::getCredentials) {
            receive(message);
            reply(std::nullopt);
            return;
        }
        print_("watch: getCredentials" + payloads(message));
        auto credentials =
            vk::ConnectionManager::sharedInstance()->credentialsManager()->getCurrentCredentials();
        if (!credentials) {
            print_("reply: nothing (no stored credentials; see vornctl login)");
            reply(std::nullopt);
            return;
        }
        print_("reply: updateCredentials " + std::to_string(credentials->Servers.size()) +
               " server(s)");
        reply(vk::WCMessage(vk::Command::updateCredentials, vk::WCCredentialsData(*credentials)));
    }

    /// Any thread: queues a message for the main thread.
    void receive(vk::WCMessage message) override {
        {
            std::lock_guard lock(mutex_);
            inbox_.push_back(std::move(message));
        }
        vk::DispatchQueue::main()->async([] {});  // wakes the loop
    }

    /// Main thread: handles the queued messages.
    void drain() override {
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
    bool pending() override {
        std::lock_guard lock(mutex_);
        return !inbox_.empty();
    }

    void stopPlayer() override {
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
        print_("watch: " + std::string(vk::rawValue(message.command)) + payloads(message));
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
                print_("player: no server for item " + wanted.Id.str());
                return;
            }
            std::string error;
            if (!client->serverAddress() && !vornctl::resolveAddress(*client, error)) {
                print_("player: " + error);
                return;
            }
            // The id comes from the watch: one path segment, whatever it holds.
            const std::string id = vk::ApiClient::pathSegment(wanted.Id.view());
            auto user = client->currentUserId();
            auto url =
                client->getUrl(user ? "Users/" + vk::ApiClient::pathSegment(*user) + "/Items/" + id
                                    : "Items/" + id,
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
                print_("player: item " + wanted.Id.str() + " could not be fetched");
                return;
            }
            auto stream = client->getAudioStreamURL(**dto, std::nullopt, std::nullopt, std::nullopt,
                                                    std::nullopt, std::nullopt, std::nullopt,
                                                    std::nullopt, 0, false);
            if (!stream) {
                print_("player: no stream URL for item " + wanted.Id.str());
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
        print_("player: playing " + std::to_string(queue.size()) + " item(s) from " +
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
                print_("player: libmpv could not start (see the log)");
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
            print_("player: nothing is playing");
            return;
        }
        print_("player: " + std::string(vk::rawValue(command.command)));
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
                    print_("player: playAtIndex needs an index in the queue");
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
        print_("sent: plyabackStateUpdate " + std::string(vk::rawValue(event)) +
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
    std::function<void(const std::string&)> print_;
};

}  // namespace

std::shared_ptr<CompanionHost> CompanionHost::make(std::shared_ptr<vk::WatchSession> session,
                                                   bool simulate, bool fast,
                                                   std::function<void(const std::string&)> print) {
    return std::make_shared<Companion>(std::move(session), simulate, fast, std::move(print));
}

}  // namespace vornctl
