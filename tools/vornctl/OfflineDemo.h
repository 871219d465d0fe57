// The offline part of `vornctl demo`: an album downloaded through a sync job, a track played from
// its local copy, the offline action that play left sent to the server, and a reconciliation after
// the server dropped a track, against the reference server. Runs on the main thread (it services
// the main run loop while waiting).
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when every step gave what the server holds.
int runOfflineDemo();

}  // namespace vornctl
