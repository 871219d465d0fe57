#include "tools/vornctl/CompanionDemo.h"

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Platform/Watch/SocketWatchSession.h"
#include "VornKit/Watch/WCCommands.h"
#include "VornKit/Watch/WCSessionDelegater.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "tools/vornctl/CompanionHost.h"
#include "tools/vornctl/WatchSimDelegate.h"

namespace vornctl {

namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "demo-companion-token-3f9a";
constexpr const char* kUser = "demo-user-9";
constexpr const char* kServerId = "companion-demo-server";

std::mutex printMutex;

/// One line of one side; a long payload is cut (the demo shows the exchange, not the records).
void sideLine(const char* side, const std::string& line) {
    constexpr std::size_t kWidth = 150;
    std::string shown = line.size() <= kWidth ? line
                                              : line.substr(0, kWidth) + "... (" +
                                                    std::to_string(line.size()) + " characters)";
    std::lock_guard lock(printMutex);
    std::printf("  %-6s %s\n", side, shown.c_str());
    std::fflush(stdout);
}

/// The link's and the player's log lines inline; the client's request lines are left out.
class CompanionLogLines : public vk::LogSink {
  public:
    void write(const vk::LogRecord& record) override {
        if (record.category == "ApiClient")
            return;
        sideLine("[log]", record.category.empty() ? record.message
                                                  : record.category + ": " + record.message);
    }
};

/// What the watch shows of a message from the phone: its command and, for a state update, the
/// event and the current title.
std::string describe(const vk::WCMessage& message) {
    std::string text = std::string(vk::rawValue(message.command));
    if (message.credentialsData) {
        text += " servers:";
        for (const auto& server : message.credentialsData->credentials.Servers)
            text += " " + server.Id + " (" + server.Name + ", token " +
                    (server.AccessToken ? "present" : "absent") + ")";
    }
    if (message.playbackData && message.playbackData->playbackState) {
        const auto& state = *message.playbackData->playbackState;
        text += " " + std::string(vk::rawValue(state.playerEvent()));
        if (auto item = state.currentItem(); item && item->Title)
            text += " \"" + *item->Title + "\"";
    }
    return text;
}

}  // namespace

int runCompanionDemo() {
    refserver::RefServer::Options serverOptions;
    serverOptions.serverName = "Companion Demo Server";
    serverOptions.serverId = kServerId;
    serverOptions.accessToken = kToken;
    refserver::RefServer server(serverOptions);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 12;
    libraryOptions.userId = kUser;
    auto library = refserver::Library::install(server, libraryOptions);
    auto local = server.listen({"local", "127.0.0.1", 0, std::nullopt});
    auto albums = library->ofType("MusicAlbum");
    std::vector<const refserver::LibraryItem*> tracks;
    if (!albums.empty())
        tracks = library->children(albums.front()->id);
    if (!local || tracks.size() < 2) {
        std::printf("cannot start the reference server with an album\n");
        return 1;
    }
    // The phone's stored credentials: what it hands to the watch.
    vk::ConnectionManager::sharedInstance()->credentialsManager()->updateCredentials(
        std::string(R"({"Servers":[{"Id":")") + kServerId +
        R"(","Name":"Companion Demo Server","AccessToken":")" + kToken + R"(","UserId":")" + kUser +
        R"(","LocalAddress":")" + *local + R"(","DateLastAccessed":1760000000000}]})");

    // A private link: the socket and both sides' state in a directory of this run only (0700).
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vornctl-watch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::printf("cannot create a directory for the link\n");
        return 1;
    }
    const std::filesystem::path linkDir = pattern;
    vk::WatchSessionConfiguration phoneConfig;
    phoneConfig.role = vk::WatchSessionConfiguration::Role::listener;
    phoneConfig.socketPath = linkDir / "vornkit" / "watch.sock";
    phoneConfig.stateDirectory = linkDir / "phone";
    vk::WatchSessionConfiguration watchConfig = phoneConfig;
    watchConfig.role = vk::WatchSessionConfiguration::Role::connector;
    watchConfig.stateDirectory = linkDir / "watch";
    std::printf("link:  Unix socket %s (phone listens, watch connects)\n",
                phoneConfig.socketPath.c_str());
    std::printf("album: \"%s\" (%zu tracks), played on the phone by %s\n",
                albums.front()->name.c_str(), tracks.size(),
#ifdef VK_HAVE_MPV
                "libmpv (null audio output)"
#else
                "the simulated player (built without libmpv)"
#endif
    );

    auto previousSink = vk::Log::setSink(std::make_shared<CompanionLogLines>());
    int status = 1;
    {
        auto phone = vk::SocketWatchSession::make(phoneConfig);
        vk::WatchSession::setDefaultSession(phone);
        auto companion = CompanionHost::make(phone, false, false,
                                             [](const std::string& l) { sideLine("phone", l); });
        auto delegater = std::make_shared<vk::WCSessionDelegater>(companion->replyDelegate());
        phone->setDelegate(delegater);
        auto token = vk::NotificationCenter::defaultCenter().addObserver(
            std::string(vk::WCNotificationName::WCMessageRecieved), nullptr, nullptr,
            [companion](const vk::Notification& n) {
                if (const auto* message = std::any_cast<vk::WCMessage>(&n.object))
                    companion->receive(*message);
            });
        phone->activate();

        auto simulator = std::make_shared<WatchSimDelegate>();
        auto watch = vk::SocketWatchSession::make(watchConfig);
        watch->setDelegate(simulator);
        watch->activate();
        vk::WCCommands watchCommands(watch);

        // Serves the phone's main-thread work and prints what reached the watch, until `done`.
        int loads = 0;
        std::string lastLoaded;
        auto serve = [&](auto done, std::chrono::milliseconds timeout) {
            auto deadline = std::chrono::steady_clock::now() + timeout;
            while (!done() && std::chrono::steady_clock::now() < deadline) {
                vk::RunLoop::main().runUntil([&] { return companion->pending(); }, 20ms);
                companion->drain();
                for (const auto& [kind, received] : simulator->takeTagged()) {
                    auto message = vk::WCMessage::fromMessage(received);
                    if (!message)
                        continue;
                    sideLine("watch", std::string("received ") + kind + ": " + describe(*message));
                    const auto& playback = message->playbackData;
                    if (playback && playback->playbackState &&
                        playback->playbackState->playerEvent() == vk::PlayerEvent::fileDidLoad) {
                        auto item = playback->playbackState->currentItem();
                        std::string title = item && item->Title ? *item->Title : "";
                        if (title != lastLoaded) {
                            lastLoaded = title;
                            ++loads;
                        }
                    }
                }
            }
            return done();
        };
        auto send = [&](const vk::WCMessage& message) {
            sideLine("watch", "sends: " + std::string(vk::rawValue(message.command)));
            if (auto failure = watchCommands.sendMessage(message)) {
                sideLine("watch", "error: " + std::string(vk::describe(*failure)));
                return false;
            }
            return true;
        };

        bool ok = serve([&] { return watch->isReachable() && phone->isReachable(); }, 10s);
        sideLine("watch", ok ? "reachable" : "the phone did not answer");

        // 1. Credentials, with a reply.
        std::atomic<bool> replied{false};
        bool gotCredentials = false;
        if (ok) {
            sideLine("watch", "sends: getCredentials (expects a reply)");
            auto failure = watchCommands.sendMessage(
                vk::WCMessage(vk::Command::getCredentials),
                [&](std::optional<vk::WCMessage> reply) {
                    sideLine("watch",
                             "reply: " + (reply ? describe(*reply) : std::string("(none)")));
                    gotCredentials = reply && reply->credentialsData &&
                                     !reply->credentialsData->credentials.Servers.empty();
                    replied = true;
                });
            ok = !failure && serve([&] { return replied.load(); }, 10s) && gotCredentials;
        }

        // 2. The album, from its first track.
        if (ok) {
            std::vector<std::shared_ptr<vk::BaseItemDto>> items;
            for (const auto* track : tracks) {
                auto record = std::make_shared<vk::BaseItemDto>();
                record->Id = track->id;
                record->ServerId = kServerId;
                items.push_back(std::move(record));
            }
            ok = send(vk::WCMessage(vk::Command::startPlayback, std::nullopt,
                                    vk::WCPlaybackData(std::move(items), 0))) &&
                 serve([&] { return loads >= 1; }, 20s);
        }

        // 3. nextTrack: the phone's player moves on and tells the watch.
        if (ok) {
            ok = send(vk::WCMessage(vk::Command::sendPlayerCommand, std::nullopt,
                                    vk::WCPlaybackData(vk::PlayerCommandWrapper(
                                        vk::PlayerCommand::nextTrack, std::nullopt)))) &&
                 serve([&] { return loads >= 2; }, 20s);
            sideLine("watch", ok ? "now playing \"" + lastLoaded + "\" (second track: \"" +
                                       tracks[1]->name + "\")"
                                 : "the next track did not load");
            ok = ok && lastLoaded == tracks[1]->name;
        }

        companion->stopPlayer();
        serve([] { return false; }, 300ms);
        watch->setDelegate({});
        phone->setDelegate({});
        vk::NotificationCenter::defaultCenter().removeObserver(token);
        vk::WatchSession::setDefaultSession(nullptr);
        status = ok ? 0 : 1;
    }
    vk::Log::setSink(previousSink);
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(linkDir, ignored);
    return status;
}

}  // namespace vornctl
