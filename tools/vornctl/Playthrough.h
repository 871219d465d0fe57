// The play-through of `vornctl play` and the playback demo: fetches library items from a server,
// queues them in a player (MpvPlayer, or the SimulatedPlayer), attaches the event bridge and
// plays them to the end, printing every JavaScript statement handed to the web view as
// "js: <statement>" and every playback report the client sends as
// "report: <start|progress|stop> <JSON body>", one line each, on standard output.
//
// Thread rule: runs on the main thread, servicing the main run loop until playback has ended and
// every report has been answered.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"

namespace vornctl {

struct PlaythroughOptions {
    /// Drive the SimulatedPlayer instead of libmpv.
    bool simulate = false;
    /// Simulated play-through without waiting.
    bool fast = false;
    /// Let libmpv play to the sound server (otherwise its null audio output).
    bool audio = false;
    /// Playback speed factor (libmpv's speed; the simulated player's clock).
    double speed = 1.0;
    /// The user whose items are fetched (the client's when absent).
    std::optional<std::string> userId;
};

/// Makes the client the play-through reports through: it prints each report it sends.
std::shared_ptr<vk::ApiClient> makeReportingClient(vk::ServerInfo server, vk::DeviceInfo device);

/// Plays `itemIds` (in order) with `client`, whose address must be resolved. Returns the exit
/// status: 0 when every item played to its end and every report was answered; errors are printed
/// as "error: ..." lines.
int playThrough(const std::shared_ptr<vk::ApiClient>& client,
                const std::vector<std::string>& itemIds, const PlaythroughOptions& options);

}  // namespace vornctl
