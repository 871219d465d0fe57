// `vornctl companion`: the application side of the watch link, running until stopped (Ctrl-C or
// SIGTERM). It activates the watch session (listening; see WatchLinkOptions.h), answers
// getCredentials with an updateCredentials message carrying the stored credentials, starts
// playback of the items a startPlayback names (through the event bridge, on libmpv or, with
// --simulate or without libmpv, the simulated player), obeys sendPlayerCommand, and forwards the
// player's state as plyabackStateUpdate messages (as the application context, and as a message
// while the watch is reachable). When the session cannot listen (another companion has the
// socket, the port is taken, the pairing key cannot be read) it says why and exits with status 1.
//
// Output, one line each: the delegater's session status lines, "watch: <command> <payloads>" for
// every message from the watch, "reply: updateCredentials <n> server(s)", "player: <what it
// did>" and "sent: plyabackStateUpdate <event>".
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Watch/WCSessionDelegater.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/CompanionHost.h"
#include "tools/vornctl/WatchLinkOptions.h"

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
    auto companion = vornctl::CompanionHost::make(session, simulate, fast, printLine);
    auto delegater = std::make_shared<vk::WCSessionDelegater>(companion->replyDelegate());
    session->setDelegate(delegater);
    // Messages without a reply (and contexts, transfers) arrive as notifications.
    auto token = vk::NotificationCenter::defaultCenter().addObserver(
        std::string(vk::WCNotificationName::WCMessageRecieved), nullptr, nullptr,
        [companion](const vk::Notification& n) {
            if (const auto* message = std::any_cast<vk::WCMessage>(&n.object))
                companion->receive(*message);
        });
    session->activate();
    if (session->activationState() != vk::WatchActivationState::activated) {
        // Another companion has the socket, the port is taken, the key cannot be read...
        auto why = session->activationError();
        std::fprintf(stderr, "error: the watch session cannot listen: %s\n",
                     why ? why->message.c_str() : "activation failed");
        vk::NotificationCenter::defaultCenter().removeObserver(token);
        session->setDelegate({});
        return 1;
    }
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
