// `vornctl watch-sim --send COMMAND ...`: the companion watch's side of the link, for trying the
// application side (`vornctl companion`). Connects, sends one message, prints the reply and every
// message received until --wait has passed, and exits.
//
// COMMAND is getCredentials (sent expecting a reply), startPlayback (with --item ID..., the
// items' --server ID (empty: the application side's last used server) and --start N), or a player
// command (nextTrack, prevTrack, playPause, playAtIndex, stop, destroyPlayer: sent as
// sendPlayerCommand with --arg VALUE, an integer when it reads as one). Output: "reply: <command>
// <payloads>" and "received: <command> <payloads>" lines, or with --json one JSON object a line:
// {"kind":"reply"|"received","command":...,"timestamp":<seconds since
// 1970>,"credentialsData":{...},"playbackData":{...}}.
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Watch/WCCommands.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/WatchLinkOptions.h"
#include "tools/vornctl/WatchSimDelegate.h"

namespace {

using namespace std::chrono_literals;

const char* const kUsage =
    "usage: vornctl watch-sim --send COMMAND [--item ID...] [--server ID] [--start N] [--arg "
    "VALUE]\n"
    "                         [--json] [--wait MS] [link options]\n";

std::string payloadText(const vk::WCMessage& message, bool json) {
    std::string out;
    auto add = [&](const char* key, const std::optional<std::string>& text) {
        if (!text)
            return;
        if (json) {
            out += ",\"" + std::string(key) + "\":" + *text;
        } else {
            out += " " + std::string(key) + "=" + *text;
        }
    };
    if (message.credentialsData)
        add("credentialsData", vk::JsonEncoder().encode(*message.credentialsData));
    if (message.playbackData)
        add("playbackData", vk::JsonEncoder().encode(*message.playbackData));
    return out;
}

void print(const char* kind, const vk::WCMessage& message, bool json) {
    if (json) {
        double seconds =
            std::chrono::duration<double>(message.timestamp().time_since_epoch()).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.6f", seconds);
        std::printf("{\"kind\":\"%s\",\"command\":\"%s\",\"timestamp\":%s%s}\n", kind,
                    std::string(vk::rawValue(message.command)).c_str(), stamp,
                    payloadText(message, true).c_str());
    } else {
        std::printf("%s: %s%s\n", kind, std::string(vk::rawValue(message.command)).c_str(),
                    payloadText(message, false).c_str());
    }
    std::fflush(stdout);
}

std::optional<vk::WCMessage> buildMessage(const std::string& name,
                                          const std::vector<std::string>& items,
                                          const std::string& serverId, std::int64_t start,
                                          const std::optional<std::string>& arg,
                                          std::string& error) {
    if (name == "getCredentials")
        return vk::WCMessage(vk::Command::getCredentials);
    if (name == "startPlayback") {
        if (items.empty()) {
            error = "startPlayback needs --item ID";
            return std::nullopt;
        }
        std::vector<std::shared_ptr<vk::BaseItemDto>> records;
        for (const auto& id : items) {
            auto record = std::make_shared<vk::BaseItemDto>();
            record->Id = id;
            record->ServerId = serverId;
            records.push_back(std::move(record));
        }
        return vk::WCMessage(vk::Command::startPlayback, std::nullopt,
                             vk::WCPlaybackData(std::move(records), start));
    }
    auto command = vk::playerCommandFromString(name);
    if (!command) {
        error = "unknown command " + name +
                " (getCredentials, startPlayback, or a player command: destroyPlayer, stop, "
                "playAtIndex, playPause, nextTrack, prevTrack)";
        return std::nullopt;
    }
    std::optional<vk::PlayerCommandArg> commandArg;
    if (arg) {
        std::int64_t n = 0;
        const char* end = arg->data() + arg->size();
        auto parsed = std::from_chars(arg->data(), end, n);
        commandArg = (!arg->empty() && parsed.ec == std::errc() && parsed.ptr == end)
                         ? vk::PlayerCommandArg::int_(n)
                         : vk::PlayerCommandArg::string(*arg);
    }
    return vk::WCMessage(vk::Command::sendPlayerCommand, std::nullopt,
                         vk::WCPlaybackData(vk::PlayerCommandWrapper(*command, commandArg)));
}

bool readInteger(const std::string& text, std::int64_t& out) {
    const char* end = text.data() + text.size();
    auto parsed = std::from_chars(text.data(), end, out);
    return !text.empty() && parsed.ec == std::errc() && parsed.ptr == end;
}

int watchSim(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    vk::WatchSessionConfiguration configuration;
    configuration.role = vk::WatchSessionConfiguration::Role::connector;
    // Its own queue and context, apart from the application side's of the same program.
    configuration.stateDirectory = vk::Environment::current()->dataHome() /
                                   vk::Bundle::main().identifier.value_or("vornkit") /
                                   "WatchSimulator";
    std::string error;
    if (!vornctl::parseWatchLinkOptions(args, configuration, error)) {
        std::fprintf(stderr, "error: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    std::optional<std::string> send;
    std::optional<std::string> arg;
    std::vector<std::string> items;
    std::string serverId;
    std::int64_t start = 0;
    std::int64_t waitMs = 1500;
    bool json = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::printf("%s%s", kUsage, vornctl::watchLinkOptionsUsage());
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--send" && hasValue) {
            send = args[++i];
        } else if (a == "--item" && hasValue) {
            items.push_back(args[++i]);
        } else if (a == "--server" && hasValue) {
            serverId = args[++i];
        } else if (a == "--arg" && hasValue) {
            arg = args[++i];
        } else if (a == "--start" && hasValue && readInteger(args[i + 1], start)) {
            ++i;
        } else if (a == "--wait" && hasValue && readInteger(args[i + 1], waitMs) && waitMs >= 0) {
            ++i;
        } else {
            std::fprintf(stderr, "error: unexpected argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (!send) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    auto message = buildMessage(*send, items, serverId, start, arg, error);
    if (!message) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 2;
    }

    auto delegate = std::make_shared<vornctl::WatchSimDelegate>();
    auto session = vk::SocketWatchSession::make(configuration);
    session->setDelegate(delegate);
    session->activate();
    if (!delegate->waitFor(10s, [&] { return session->isReachable(); })) {
        std::fprintf(
            stderr, "error: the application side did not answer on %s\n",
            configuration.tcpHost
                ? (*configuration.tcpHost + ":" + std::to_string(configuration.tcpPort)).c_str()
                : session->configuration().socketPath.c_str());
        return 1;
    }

    vk::WCCommands commands(session);
    std::mutex mutex;
    std::condition_variable replied;
    bool done = false;
    std::optional<vk::WCMessage> reply;
    bool wantsReply = message->command == vk::Command::getCredentials;
    std::optional<vk::WCCommandError> failure;
    if (wantsReply) {
        failure = commands.sendMessage(*message, [&](std::optional<vk::WCMessage> m) {
            std::lock_guard lock(mutex);
            reply = std::move(m);
            done = true;
            replied.notify_all();
        });
    } else {
        failure = commands.sendMessage(*message);
    }
    if (failure) {
        std::fprintf(stderr, "error: %s\n", std::string(vk::describe(*failure)).c_str());
        return 1;
    }
    int status = 0;
    if (wantsReply) {
        std::unique_lock lock(mutex);
        replied.wait(lock, [&] { return done; });
        if (reply) {
            print("reply", *reply, json);
        } else {
            std::fprintf(stderr, "error: no reply\n");
            status = 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    for (const auto& received : delegate->take()) {
        if (auto parsed = vk::WCMessage::fromMessage(received))
            print("received", *parsed, json);
    }
    return status;
}

}  // namespace

VORNCTL_COMMAND("watch-sim",
                "watch-sim --send COMMAND [--item ID...] [--arg VALUE] [--json]  the companion "
                "watch: send one message, print the reply and what arrives",
                watchSim);
